# 32-bit Raspberry Pi OS (armhf) on ARMv7 and later: Pi 2, 3, 4, 5, Zero 2 W.
# Debian's armhf compiler emits ARMv7 code, so ARMv6 boards (Pi 1, Zero,
# Zero W) need a native build on the Pi.
#   apt-get install g++-arm-linux-gnueabihf qemu-user
set(ZUL_CROSS_TRIPLE arm-linux-gnueabihf)
set(ZUL_CROSS_ARCH armhf)
set(ZUL_CROSS_PROCESSOR armv7l)
set(ZUL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
