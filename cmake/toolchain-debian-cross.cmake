# Shared part of the cross toolchain files: Debian's cross compiler for
# ZUL_CROSS_TRIPLE, the target's libraries from Debian's multiarch packages
# (libbcm2835-dev, libgtest-dev, libinih-dev and, for the bridge,
# libmosquitto-dev and libtomlplusplus-dev, each as <arch>; nlohmann-json3-dev
# is header-only and comes from the host) and qemu-user to run what was
# built. Included by toolchain-<triple>.cmake, which sets ZUL_CROSS_TRIPLE,
# ZUL_CROSS_PROCESSOR and ZUL_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZUL_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${ZUL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZUL_CROSS_TRIPLE}-g++)

# The cross compiler's own C library lives in /usr/<triple>; the :<arch>
# packages put their headers in /usr/include and their libraries (and GTest's
# CMake package) in /usr/lib/<triple>. The library architecture keeps every
# find_* command off the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZUL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${ZUL_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt here: CTest, test discovery and the tests that start a target
# program call qemu-user explicitly, with the cross C library as its root.
# That root's loader (/usr/<triple>/lib/ld-linux-*.so) still searches
# /lib/<triple> before its own directory, and there the multiarch libc6:<arch>
# that the :<arch> packages above pull in is a different build of glibc: a
# loader paired with another build's libc.so.6 hangs or crashes in the first
# pthread_create or fork. LD_LIBRARY_PATH, set for the emulated program only
# (-E), keeps the loader with the C library it was built with; every other
# library is still found in /lib/<triple>. On a Pi the loader and the C
# library come from one package, so this concerns the emulation only.
find_program(ZUL_CROSS_QEMU_PROGRAM NAMES ${ZUL_CROSS_QEMU} ${ZUL_CROSS_QEMU}-static)
if(ZUL_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUL_CROSS_QEMU_PROGRAM} -L /usr/${ZUL_CROSS_TRIPLE}
                                    -E LD_LIBRARY_PATH=/usr/${ZUL_CROSS_TRIPLE}/lib)
endif()
