# The bridge's part of the Debian package (included by cmake/packaging.cmake
# before CPack): the executable, its manual page, the systemd unit, and the
# default configuration and TEQsettings/ under /etc/zul-stm-driver as
# conffiles, so that an upgrade keeps what the user changed.
zul_install_man_page(zul_stm_mqtt)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul-stm-mqtt.service
  DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul_stm_mqtt.toml
  DESTINATION /etc/zul-stm-driver)
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings/ DESTINATION /etc/zul-stm-driver/TEQsettings)
# Without root on the kernel's GPIO character device and spidev: the system
# user zul-stm (groups gpio and spi), and the service's drop-in that runs it
# so, which postinst links in on a Pi 5 and a Pi 1 to 4 installer links in
# by hand (doc/install.md, "The service: with root or without").
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul-stm-mqtt-kernel.conf
  DESTINATION /usr/share/zul-stm-driver)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/zul-stm-driver.sysusers
  DESTINATION /usr/lib/sysusers.d RENAME zul-stm-driver.conf)

set(ZUL_CONFFILES "/etc/zul-stm-driver/zul_stm_mqtt.toml\n")
file(GLOB_RECURSE ZUL_SETTINGS_FILES RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings
  ${CMAKE_CURRENT_SOURCE_DIR}/TEQsettings/*)
list(SORT ZUL_SETTINGS_FILES)
foreach(f ${ZUL_SETTINGS_FILES})
  string(APPEND ZUL_CONFFILES "/etc/zul-stm-driver/TEQsettings/${f}\n")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${ZUL_CONFFILES}")
file(COPY ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/postinst ${CMAKE_CURRENT_SOURCE_DIR}/bridge/dist/postrm
  DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/debian
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles
  ${CMAKE_CURRENT_BINARY_DIR}/debian/postinst ${CMAKE_CURRENT_BINARY_DIR}/debian/postrm)
# postinst makes the system user with systemd-sysusers.
set(ZUL_BRIDGE_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers | systemd-sysusers")
