# The Debian package (cpack in the build directory): zul_stm_driver with the
# bcm2835 library linked in, its manual page and the example settings. The
# simulator and the tests are not installed. A cross build makes the package
# of its target (arm64, armhf); a native build that of the machine.

# A manual page from doc/, compressed as Debian installs manual pages (no
# name or time stamp in the gzip header, so the package is reproducible),
# built with everything and installed in section 1.
function(zul_install_man_page name)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/doc/${name}.1 > ${page}
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/${name}.1
    VERBATIM)
  add_custom_target(${name}_man_page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION share/man/man1)
endfunction()

zul_install_man_page(zul_stm_driver)

# The example settings; the program reads TEQsettings/ in its working directory.
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings)
  install(DIRECTORY TEQsettings/ DESTINATION share/zul-stm-driver/TEQsettings)
endif()

# The bridge, when it is built: the service, its configuration and the
# settings directory it starts the program in, both kept as conffiles.
if(TARGET zul_stm_mqtt)
  include(${CMAKE_CURRENT_SOURCE_DIR}/bridge/packaging.cmake)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zul-stm-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "imitates apartment handsets on an intercom line (Raspberry Pi shield)")
set(CPACK_PACKAGE_DESCRIPTION
  "zul_stm_driver drives the intercom shield of a Raspberry Pi: an STM32
co-processor on SPI0, hook-line switches, a line selector and relays on GPIO.
A controlling process writes room lists and commands to its standard input
and reads call events from its standard output.")
set(CPACK_PACKAGE_CONTACT "zul_stm_driver maintainers" CACHE STRING "Maintainer field of the .deb")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_STRIP_FILES ON)
# The libraries' Depends come from dpkg-shlibdeps (dpkg-dev), from the
# symbols and shlibs files of the libraries linked with: those of the
# target's root in a cross build. The rest are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET zul_stm_mqtt)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ZUL_BRIDGE_PACKAGE_DEPENDS}")
endif()
if(CMAKE_CROSSCOMPILING AND ZUL_TARGET_ROOT)
  # dpkg-shlibdeps for the target's architecture, looking first in the
  # package build trees scripts/target_root.sh leaves in the root.
  set(shlibdeps ${CMAKE_BINARY_DIR}/dpkg-shlibdeps-target)
  string(CONFIGURE [=[#!/bin/sh
# dpkg-shlibdeps against @ZUL_TARGET_ROOT@ (written by CMake): a -S for
# each library package of the root, before the arguments CPack gives.
n=$#
for tree in "@ZUL_TARGET_ROOT@"/var/lib/zul-shlibs/*; do set -- "$@" "-S$tree"; done
while [ "$n" -gt 0 ]; do set -- "$@" "$1"; shift; n=$((n - 1)); done
exec env DEB_HOST_ARCH=@ZUL_CROSS_ARCH@ dpkg-shlibdeps "$@"
]=] script @ONLY)
  file(WRITE ${shlibdeps} "${script}")
  file(CHMOD ${shlibdeps} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
  file(WRITE ${CMAKE_BINARY_DIR}/cpack_project.cmake "set(SHLIBDEPS_EXECUTABLE ${shlibdeps})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_project.cmake)
endif()

if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  else()
    message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; the package will be wrong")
  endif()
endif()

include(CPack)
