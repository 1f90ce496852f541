# Manual pages, systemd units, documentation, and the Debian package.

# Manual pages are installed compressed, as Debian expects them.
set(MAN_PAGES adjtimelog.1 adjtimelog-job.1 sitedb.1 qmems.8)
foreach(page ${MAN_PAGES})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND MAN_OUTPUTS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${MAN_OUTPUTS})

install(FILES
  contrib/systemd/adjtimelog-log.service contrib/systemd/adjtimelog-log.timer
  contrib/systemd/adjtimelog-database.service contrib/systemd/adjtimelog-database.timer
  contrib/systemd/adjtimelog-job.service contrib/systemd/adjtimelog-job.timer
  DESTINATION lib/systemd/system)

set(DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/qm4107-node-tools)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/contrib/debian/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/contrib/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES contrib/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qm4107-node-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "QM4107 node tools developers <nodetools@qm4107.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QM4107 node tools: clock adjustment reports and the control launcher")
set(CPACK_PACKAGE_DESCRIPTION "adjtimelog reports the clock adjustments that ntpdate leaves in
/tmp/update_time.log, to a text report or to the site database through an
OCI client library (a stand-in over SQLite is included, with sitedb).
qmems runs the platform's service control commands as root for operators
who know the password of the ems account.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/oci)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sqlite3")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
