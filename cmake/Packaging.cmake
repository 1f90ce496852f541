# Manual pages and systemd units. The Debian package is built by debian/
# (make package).

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

# The systemd units: lib/systemd/system under the prefix (where the install
# puts it), or where the Debian package's tools look for them
# (/lib/systemd/system, set by debian/rules).
set(SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the systemd units go (relative: under the prefix)")
install(FILES
  contrib/systemd/adjtimelog-log.service contrib/systemd/adjtimelog-log.timer
  contrib/systemd/adjtimelog-database.service contrib/systemd/adjtimelog-database.timer
  contrib/systemd/adjtimelog-job.service contrib/systemd/adjtimelog-job.timer
  DESTINATION ${SYSTEMD_UNITDIR})

# Alert rules for the metrics of adjtimelog -m.
install(FILES contrib/prometheus/adjtimelog.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/qm4107/prometheus)
