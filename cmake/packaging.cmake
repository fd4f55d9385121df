# Install rules and Debian packages of the agent, the station and the line simulator.
#
# ovikburn: the agent in /usr/sbin, its production unit and an example cfg_ovikburn, for the
# device's architectures and this machine's. ovikstation: the station in /usr/bin, the unit of
# its dashboard and /etc/default/ovikstation, for the test PC. ovikline: the line simulator
# (below). dpkg-shlibdeps writes each package's dependencies from the libraries its binary
# really links, so a static agent depends on nothing. Every package carries the copyright file,
# a changelog made from the project's version and a manual page per program, as Debian's policy
# asks; scripts/device-builds.sh runs lintian on each.
include(GNUInstallDirs)

set(OVIK_PACKAGE_CONTACT "ovikburn maintainers <maintainers@users.noreply.c-seed-6c8da5b8.example>"
  CACHE STRING "Maintainer field of the Debian packages")
set(OVIK_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)

# The changelog's one entry: the project's version, dated with the release's build date (the
# one the agent's usage text shows), so that the same sources make the same packages.
get_directory_property(OVIK_BUILD_DATE DIRECTORY ${PROJECT_SOURCE_DIR}/src/main
  DEFINITION OVIKBURN_BUILD_DATE)
string(REGEX REPLACE "^(....)(..)(..)(..)(..)(..)$" "\\1-\\2-\\3 \\4:\\5:\\6 UTC"
  OVIK_RELEASE_TIME "${OVIK_BUILD_DATE}")
execute_process(COMMAND date -R -u -d "${OVIK_RELEASE_TIME}"
  OUTPUT_VARIABLE OVIK_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# Manual pages and the changelog are installed compressed with gzip -9n: no name or time in the
# header, so the packages stay reproducible.
add_custom_target(ovik_package_files ALL)
function(ovik_gzip_file source configured)
  configure_file(${source} ${configured} @ONLY)
  add_custom_command(OUTPUT ${configured}.gz
    COMMAND gzip -9n -k -f ${configured}
    DEPENDS ${configured}
    VERBATIM)
  get_filename_component(name ${configured} NAME)
  add_custom_target(ovik_gzip_${name} DEPENDS ${configured}.gz)
  add_dependencies(ovik_package_files ovik_gzip_${name})
endfunction()

ovik_gzip_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${OVIK_PACKAGING_DIR}/changelog)

# The copyright file and the changelog in /usr/share/doc/PACKAGE.
function(ovik_package_docs component package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${OVIK_PACKAGING_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

# packaging/man/PAGE.SECTION, in /usr/share/man/manSECTION.
function(ovik_man_page component page section)
  ovik_gzip_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}.${section}
    ${OVIK_PACKAGING_DIR}/man/${page}.${section})
  install(FILES ${OVIK_PACKAGING_DIR}/man/${page}.${section}.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# Maintainer scripts (packaging/deb/PACKAGE.SCRIPT) and conffiles of one package, as the files
# that CPack puts into its control archive.
function(ovik_control_files component package)
  set(dir ${OVIK_PACKAGING_DIR}/control/${package})
  set(files)
  foreach(script postinst prerm postrm)
    set(source ${PROJECT_SOURCE_DIR}/packaging/deb/${package}.${script})
    if(EXISTS ${source})
      configure_file(${source} ${dir}/${script} COPYONLY)
      list(APPEND files ${dir}/${script})
    endif()
  endforeach()
  if(ARGN)
    list(JOIN ARGN "\n" conffiles)
    file(WRITE ${dir}/conffiles "${conffiles}\n")
    list(APPEND files ${dir}/conffiles)
  endif()
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${files} PARENT_SCOPE)
endfunction()

# The agent. Its unit is not enabled by the package; a production image enables it.
install(TARGETS ovikburn RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/cfg_ovikburn
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ovikburn/examples COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/ovikburn.service
  DESTINATION lib/systemd/system COMPONENT agent)
ovik_man_page(agent ovikburn 8)
ovik_package_docs(agent ovikburn)
ovik_control_files(agent ovikburn)
set(CPACK_COMPONENTS_ALL agent)

# The station, with the dashboard's unit and its options.
if(TARGET ovikstation)
  install(TARGETS ovikstation RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT station)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/ovikstation.service
    DESTINATION lib/systemd/system COMPONENT station)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/default-ovikstation
    DESTINATION /etc/default RENAME ovikstation COMPONENT station)
  ovik_man_page(station ovikstation 1)
  ovik_package_docs(station ovikstation)
  ovik_control_files(station ovikstation /etc/default/ovikstation)
  list(APPEND CPACK_COMPONENTS_ALL station)
endif()

# The Debian name of the architecture the compiler builds for: armhf, arm64, amd64. Without
# one, CPack takes this machine's.
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(
    COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
    OUTPUT_VARIABLE OVIK_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

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
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME ovikburn)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
  "factory burn-in agent of the device under test
Runs on the device during production, started by the production image as
'ovikburn -e' (ovikburn.service, which the image enables). It announces itself
on the factory network, takes the test PC's commands over UDP, cycles through
the device's interfaces while a run is active and reports the verdict through
the LED scripts and the boot-loader environment. An example configuration with
every key and its meaning is in /usr/share/doc/ovikburn/examples/cfg_ovikburn.")

set(CPACK_DEBIAN_STATION_PACKAGE_NAME ovikstation)
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_STATION_PACKAGE_SOURCE ovikburn)
set(CPACK_COMPONENT_STATION_DESCRIPTION
  "test PC's side of the factory burn-in
Finds the burn-in agents on the factory network by their announcements and
drives any number of them at once: sets the run's parameters, starts and
stops the burn-in, shows the live status, records every run in a database
and writes JSON, CSV and JUnit reports. ovikstation.service serves the
dashboard of the records with the options of /etc/default/ovikstation.")

# ovikline, the line simulator, for the machine that rehearses a line: the Python package and
# the compiled stand-ins in /usr/lib/ovikline, the command in /usr/bin. It runs this release's
# agent and station; amd64 like the station, since it ships the stand-ins.
if(NOT CMAKE_CROSSCOMPILING AND TARGET ovikstation)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/ovikline/ovikline DESTINATION lib/ovikline
    COMPONENT line FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/ovikline/bin/ovikline
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT line)
  foreach(standin dio-standin rtc-clock ovikline-emulator)
    if(TARGET ${standin})
      install(TARGETS ${standin} RUNTIME DESTINATION lib/ovikline COMPONENT line)
    endif()
  endforeach()
  ovik_man_page(line ovikline 1)
  ovik_package_docs(line ovikline)
  list(APPEND CPACK_COMPONENTS_ALL line)
  set(CPACK_DEBIAN_LINE_PACKAGE_NAME ovikline)
  set(CPACK_DEBIAN_LINE_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_LINE_PACKAGE_SOURCE ovikburn)
  # What it runs: ip and tc, mount and losetup, sysctl, the agent and the station; the virtual
  # test machine for lines that need CAN or digital I/O. unshare and setpriv come from
  # util-linux, which is essential, so it is not named (Debian's policy, 3.5).
  set(CPACK_DEBIAN_LINE_PACKAGE_DEPENDS
    "python3 (>= 3.11), iproute2, mount, procps, fuse3, ovikburn (= ${PROJECT_VERSION}), ovikstation (= ${PROJECT_VERSION})")
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
