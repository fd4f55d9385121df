# 64-bit ARM (Debian arm64): g++-aarch64-linux-gnu, the target's libraries as arm64 packages,
# qemu-aarch64 from qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OVIK_TARGET_TRIPLET aarch64-linux-gnu)
set(OVIK_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
