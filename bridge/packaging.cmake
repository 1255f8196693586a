# The bridge's part of the Debian package (included by cmake/packaging.cmake
# before CPack): the executable, its manual page, the systemd unit, and the
# default configuration and TEQsettings/ under /etc/zul-stm-driver as
# conffiles, so that an upgrade keeps what the user changed.
set(ZUL_BRIDGE_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/zul_stm_mqtt.1.gz)
add_custom_command(OUTPUT ${ZUL_BRIDGE_MAN_PAGE}
  COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/doc/zul_stm_mqtt.1 > ${ZUL_BRIDGE_MAN_PAGE}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/doc/zul_stm_mqtt.1
  VERBATIM)
add_custom_target(zul_bridge_man_page ALL DEPENDS ${ZUL_BRIDGE_MAN_PAGE})
install(FILES ${ZUL_BRIDGE_MAN_PAGE} DESTINATION share/man/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul-stm-mqtt.service
  DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul_stm_mqtt.toml
  DESTINATION /etc/zul-stm-driver)
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings/ DESTINATION /etc/zul-stm-driver/TEQsettings)

set(ZUL_CONFFILES "/etc/zul-stm-driver/zul_stm_mqtt.toml\n")
file(GLOB_RECURSE ZUL_SETTINGS_FILES RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings
  ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings/*)
list(SORT ZUL_SETTINGS_FILES)
foreach(f ${ZUL_SETTINGS_FILES})
  string(APPEND ZUL_CONFFILES "/etc/zul-stm-driver/TEQsettings/${f}\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${ZUL_CONFFILES}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
set(ZUL_BRIDGE_PACKAGE_DEPENDS "libmosquitto1 (>= 2.0), libtomlplusplus3 (>= 3.3), zlib1g (>= 1:1.2)")
