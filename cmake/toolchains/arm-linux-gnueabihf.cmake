# 32-bit ARM with hardware floating point (Debian armhf): g++-arm-linux-gnueabihf, the target's
# libraries as armhf packages, qemu-arm from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OVIK_TARGET_TRIPLET arm-linux-gnueabihf)
set(OVIK_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
