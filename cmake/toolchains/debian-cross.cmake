# The part the device toolchains share. Debian's cross compiler for OVIK_TARGET_TRIPLET
# (g++-TRIPLET) builds against the target's libraries from Debian's packages of that
# architecture (dpkg --add-architecture), which live in /usr/lib/TRIPLET beside this machine's
# own. qemu-user runs the target's programs here: gtest's test discovery and the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${OVIK_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OVIK_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${OVIK_TARGET_TRIPLET})

# A target package that cannot be installed beside this machine's own (libiw-dev pulls in the
# target's libc6-dev, whose kernel headers must be the very version this machine has) is
# unpacked under this folder instead: scripts/device-builds.sh prepare.
set(OVIK_TARGET_PACKAGES /var/cache/ovikburn-cross/${OVIK_TARGET_TRIPLET})
list(APPEND CMAKE_PREFIX_PATH ${OVIK_TARGET_PACKAGES}/usr)

# pkg-config answers with the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${OVIK_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

find_program(OVIK_QEMU_USER qemu-${OVIK_QEMU_ARCH})
if(OVIK_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVIK_QEMU_USER})
endif()
