# Installation and the Debian package: both programs in bin/, their manual pages, the systemd
# unit in the standard unit directory, and the README, the docs, the changelog and the copyright
# as documentation. `cmake --install` lays them out under the prefix (DESTDIR stages them);
# `cpack -G DEB` in the build directory packs them for /usr.

include(GNUInstallDirs)

set(DIRSERVER_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the install prefix")
set(DIRSERVER_MAINTAINER
    "dirserver maintainers <maintainers@users.noreply.c-seed-fa61049a.example>" CACHE STRING
    "The package's maintainer, as 'NAME <EMAIL>'")

# The changelog, in Debian's format, names the release: it must be the project's version.
set(dirserver_changelog ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${dirserver_changelog} dirserver_release LIMIT_COUNT 1)
if(NOT dirserver_release MATCHES "^dirserver \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog begins with '${dirserver_release}', but the "
                      "version is ${PROJECT_VERSION}: add its entry")
endif()
# Generated files carry the release's date, not the build's, so that two builds of one release
# are the same bytes.
file(STRINGS ${dirserver_changelog} dirserver_signed REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^.*>  " "" dirserver_release_date "${dirserver_signed}")
execute_process(COMMAND date -d "${dirserver_release_date}" +%s
                OUTPUT_VARIABLE dirserver_release_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)

# The manual pages, written in scdoc's plain-text form in docs/man, and the changelog, gzipped
# as Debian ships them (maximal compression, no name or time stamp in the header). scdoc writes
# to a file first, so that a page it cannot read fails the build instead of being cut short.
find_program(DIRSERVER_SCDOC scdoc)
if(NOT DIRSERVER_SCDOC)
  message(FATAL_ERROR "scdoc, which makes the manual pages, is missing: scripts/install-deps build")
endif()
set(dirserver_generated_docs)
foreach(page dirserver.8 dirctl.1)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${dirserver_release_epoch}
            sh -c "'${DIRSERVER_SCDOC}' < '${source}' > '${output}.roff' && gzip -9n < '${output}.roff' > '${output}'"
    DEPENDS ${source} ${dirserver_changelog}
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND dirserver_generated_docs ${output})
  string(REGEX REPLACE "^.*\\." "" section ${page})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n < '${dirserver_changelog}' > '${PROJECT_BINARY_DIR}/changelog.gz'"
  DEPENDS ${dirserver_changelog}
  VERBATIM)
list(APPEND dirserver_generated_docs ${PROJECT_BINARY_DIR}/changelog.gz)
# Built with the server, so that whatever builds it can install it.
add_custom_target(dirserver_docs DEPENDS ${dirserver_generated_docs})
add_dependencies(dirserver dirserver_docs)

install(TARGETS dirserver dirctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/changelog.gz
              ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README's links lead into docs/, which lies beside it as in the repository.
file(GLOB dirserver_doc_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${dirserver_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
# The three-node recipe of cluster mode (docs/cluster.md): NATS configurations and unit drop-ins,
# to be filled in and copied into place.
file(GLOB dirserver_cluster_recipe CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/cluster/*.conf)
install(FILES ${dirserver_cluster_recipe} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/cluster)

# The unit names the server by its installed path, which only the install step knows: the prefix
# may be given then (`cmake --install --prefix`), and the package installs to /usr.
set(dirserver_unit ${PROJECT_BINARY_DIR}/packaging/dirserver.service)
install(CODE "
  set(DIRSERVER_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(DIRSERVER_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/dirserver.service.in\" \"${dirserver_unit}\"
                 @ONLY)
")
install(FILES ${dirserver_unit} ${PROJECT_SOURCE_DIR}/packaging/dirserver.socket
        DESTINATION ${DIRSERVER_SYSTEMD_UNIT_DIR})

set(CPACK_PACKAGE_NAME dirserver)
# Debian's limits: a synopsis of at most 80 characters, description lines of at most 80.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "directory server of one multiplayer game, and its operator client")
set(CPACK_PACKAGE_DESCRIPTION [=[
Game hosts register with dirserver on TCP port 6001 and announce their
shutdown; game clients fetch one listing of every registered host. The
registry is kept in /var/lib/dirserver/server_list.dat.

The package holds dirserver, the operator client dirctl, their manual pages
and a systemd unit, dirserver.service, which it neither enables nor starts.]=])
set(CPACK_PACKAGE_CONTACT ${DIRSERVER_MAINTAINER})
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
