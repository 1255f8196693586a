# Shared part of the cross toolchain files: Debian's cross compiler for
# ZUL_CROSS_TRIPLE, a root of the target's own Debian release
# (scripts/target_root.sh: the target's C library and the libraries the
# program and the bridge link with, unpacked from the target's packages) as
# the sysroot, and qemu-user to run what was built in that root. Nothing of
# the target's architecture is installed on this machine. Included by
# toolchain-<triple>.cmake, which sets ZUL_CROSS_TRIPLE, ZUL_CROSS_ARCH (the
# Debian architecture), ZUL_CROSS_PROCESSOR and ZUL_CROSS_QEMU.
#
# ZUL_TARGET_ROOT (a cache variable or the environment's) names a root
# made elsewhere; otherwise the root of ZUL_TARGET_SUITE (default bookworm:
# a package built against the older release installs on both) is made, or
# found in its cache, at configure time.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZUL_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${ZUL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZUL_CROSS_TRIPLE}-g++)

# What the build links with, and what its tests run with under qemu.
set(ZUL_TARGET_PACKAGES
    libc6-dev libbcm2835-dev libinih-dev libgtest-dev libmosquitto-dev libsystemd-dev
    libtomlplusplus-dev zlib1g-dev nlohmann-json3-dev)
if(NOT ZUL_TARGET_ROOT AND DEFINED ENV{ZUL_TARGET_ROOT})
  set(ZUL_TARGET_ROOT $ENV{ZUL_TARGET_ROOT})
endif()
if(NOT ZUL_TARGET_ROOT)
  set(suite bookworm)
  if(ZUL_TARGET_SUITE)
    set(suite ${ZUL_TARGET_SUITE})
  endif()
  execute_process(
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/../scripts/target_root.sh ${suite} ${ZUL_CROSS_ARCH}
            ${ZUL_TARGET_PACKAGES}
    OUTPUT_VARIABLE ZUL_TARGET_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT IS_DIRECTORY "${ZUL_TARGET_ROOT}")
    message(FATAL_ERROR "no ${suite} ${ZUL_CROSS_ARCH} root to build against (scripts/target_root.sh, above)")
  endif()
endif()
# The try_compile projects see the same root without running the script.
set(ENV{ZUL_TARGET_ROOT} ${ZUL_TARGET_ROOT})
set(CMAKE_SYSROOT ${ZUL_TARGET_ROOT})

# The root's multiarch directories (/usr/lib/<triple>, GTest's CMake package
# there); every find_* looks in the root only, programs on this machine.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZUL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt here: CTest, test discovery and the tests that start a target
# program call qemu-user explicitly, with the root as the file system the
# emulated program's loader and libraries come from.
find_program(ZUL_CROSS_QEMU_PROGRAM NAMES ${ZUL_CROSS_QEMU} ${ZUL_CROSS_QEMU}-static)
if(ZUL_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUL_CROSS_QEMU_PROGRAM} -L ${ZUL_TARGET_ROOT})
endif()
