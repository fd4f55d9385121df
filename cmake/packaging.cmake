# Install rules and Debian packages of the agent and the station.
#
# ovikburn: the agent in /usr/sbin and an example cfg_ovikburn, for the device's architectures
# and this machine's. ovikstation: the station in /usr/bin, for the test PC. dpkg-shlibdeps
# writes each package's dependencies from the libraries its binary really links, so a static
# agent depends on nothing.
include(GNUInstallDirs)

install(TARGETS ovikburn RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/cfg_ovikburn
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT agent)
set(CPACK_COMPONENTS_ALL agent)
if(TARGET ovikstation)
  install(TARGETS ovikstation RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT station)
  list(APPEND CPACK_COMPONENTS_ALL station)
endif()

# The Debian name of the architecture the compiler builds for: armhf, arm64, amd64. Without
# one, CPack takes this machine's.
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(
    COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
    OUTPUT_VARIABLE OVIK_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(OVIK_PACKAGE_CONTACT "ovikburn maintainers <maintainers@users.noreply.c-seed-6c8da5b8.example>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovikburn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${OVIK_PACKAGE_CONTACT})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OVIK_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME ovikburn)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
  "factory burn-in agent of the device under test
Runs on the device during production, started by the production image as
'ovikburn -e'. It announces itself on the factory network, takes the test
PC's commands over UDP, cycles through the device's interfaces while a run
is active and reports the verdict through the LED scripts and the boot-loader
environment. An example configuration with every key and its meaning is in
/usr/share/doc/ovikburn/examples/cfg_ovikburn.")

set(CPACK_DEBIAN_STATION_PACKAGE_NAME ovikstation)
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_STATION_DESCRIPTION
  "test PC's side of the factory burn-in
Finds the burn-in agents on the factory network by their announcements and
drives any number of them at once: sets the run's parameters, starts and
stops the burn-in, shows the live status, records every run in a database
and writes JSON, CSV and JUnit reports.")

# ovikline, the line simulator, for the machine that rehearses a line: the Python package and
# the compiled stand-ins in /usr/lib/ovikline, the command in /usr/bin. It runs this release's
# agent and station; amd64 like the station, since it ships the stand-ins.
if(NOT CMAKE_CROSSCOMPILING AND TARGET ovikstation)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/ovikline/ovikline DESTINATION lib/ovikline
    COMPONENT line FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/ovikline/bin/ovikline
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT line)
  if(TARGET dio-standin)
    install(TARGETS dio-standin RUNTIME DESTINATION lib/ovikline COMPONENT line)
  endif()
  list(APPEND CPACK_COMPONENTS_ALL line)
  set(CPACK_DEBIAN_LINE_PACKAGE_NAME ovikline)
  set(CPACK_DEBIAN_LINE_PACKAGE_SECTION electronics)
  # What it runs: ip and tc, unshare, setpriv, mount and losetup, sysctl, the agent and the
  # station; the virtual test machine for lines that need CAN or digital I/O.
  set(CPACK_DEBIAN_LINE_PACKAGE_DEPENDS
    "python3 (>= 3.11), iproute2, util-linux, mount, procps, fuse3, ovikburn (= ${PROJECT_VERSION}), ovikstation (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_LINE_PACKAGE_RECOMMENDS "qemu-system-x86, busybox-static, kmod")
  set(CPACK_COMPONENT_LINE_DESCRIPTION
    "simulated production lines for the factory burn-in
Rehearses a production line before it exists: devices running the real
ovikburn agent in network and mount namespaces of their own, cabled to
stand-in serial plugs, Ethernet plugs, modems, GPS receivers, CAN nodes and
digital I/O boards, with faults injected per device from a TOML line
description. 'ovikline up' keeps such a line up for a station; 'ovikline run'
runs ovikstation against it and checks that it found exactly the injected
faults. Lines that need CAN or digital I/O run in a QEMU machine.")
endif()

include(CPack)
