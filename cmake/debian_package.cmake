# The Debian package for Linux stations: tavren-update, which talks to BlueZ
# itself, so nothing but the system's own libraries is needed. Built from
# the native preset: cpack -G DEB in build/native, or the target package.
install(TARGETS tavren-update RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/docs/package/README.linux.txt
        DESTINATION share/doc/tavren-update RENAME README)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE.txt
        DESTINATION share/doc/tavren-update RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavren-update)
set(CPACK_PACKAGE_VENDOR TAVREN)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Firmware update of TAVREN Bluetooth Low Energy devices, over BlueZ")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Updates the firmware of TAVREN devices from the command line (scan, info,\n update, batch), through Linux's own Bluetooth stack (BlueZ, over D-Bus).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TAVREN <support@tavren.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_FILE_NAME tavren-update_${PROJECT_VERSION}_amd64.deb)
# The libraries it links (libc, libstdc++, libsystemd) as dpkg-shlibdeps
# finds them; BlueZ and the system bus are what it talks to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bluez, dbus")
# libpq is loaded only by a line whose record is in PostgreSQL.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libpq5")
include(CPack)
