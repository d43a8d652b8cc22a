# Installation and the Debian package: both programs in bin/, the systemd unit in the standard
# unit directory, the README as documentation. `cmake --install` lays them out under the prefix
# (DESTDIR stages them); `cpack -G DEB` in the build directory packs them for /usr.

include(GNUInstallDirs)

set(DIRSERVER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the install prefix")

install(TARGETS dirserver dirctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit names the server by its installed path, which only the install step knows: the prefix
# may be given then (`cmake --install --prefix`), and the package installs to /usr.
set(dirserver_unit ${PROJECT_BINARY_DIR}/packaging/dirserver.service)
install(CODE "
  set(DIRSERVER_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(DIRSERVER_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/dirserver.service.in\" \"${dirserver_unit}\"
                 @ONLY)
")
install(FILES ${dirserver_unit} DESTINATION ${DIRSERVER_SYSTEMD_UNIT_DIR})

set(CPACK_PACKAGE_NAME dirserver)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Directory server of one multiplayer game (TCP port 6001) and its operator client dirctl")
set(CPACK_PACKAGE_DESCRIPTION
    "Game hosts register with dirserver and announce their shutdown; game clients fetch one listing of every registered host. The registry is kept in /var/lib/dirserver/server_list.dat. The package holds dirserver, the operator client dirctl and a systemd unit, dirserver.service, which it does not enable.")
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "dirserver maintainers <root@localhost>")
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
