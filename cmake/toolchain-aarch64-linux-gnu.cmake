# 64-bit Raspberry Pi OS (arm64): Pi 3, 4, 5, Zero 2 W.
#   apt-get install g++-aarch64-linux-gnu qemu-user
set(ZUL_CROSS_TRIPLE aarch64-linux-gnu)
set(ZUL_CROSS_ARCH arm64)
set(ZUL_CROSS_PROCESSOR aarch64)
set(ZUL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
