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
# (/lib/systemd/system, set by debian/rules). The services name the
# installed programs and the options file: they are made from their
# templates when installed, for the prefix of that install (cmake --install
# --prefix DIR included). The options file and the logrotate file go to the
# prefix's sysconfdir: /etc for the prefix /usr, else PREFIX/etc.
set(SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the systemd units go (relative: under the prefix)")
install(CODE "
  set(qm_source \"${PROJECT_SOURCE_DIR}\")
  set(qm_build \"${PROJECT_BINARY_DIR}\")
  set(qm_unitdir \"${SYSTEMD_UNITDIR}\")
  set(qm_bindir \"${CMAKE_INSTALL_BINDIR}\")
")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(SYSCONFDIR "/etc")
  else()
    set(SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  set(BINDIR "${CMAKE_INSTALL_PREFIX}/${qm_bindir}")
  set(unitdir "${qm_unitdir}")
  if(NOT IS_ABSOLUTE "${unitdir}")
    set(unitdir "${CMAKE_INSTALL_PREFIX}/${unitdir}")
  endif()
  foreach(unit adjtimelog-log adjtimelog-database adjtimelog-job sitedb-prune)
    configure_file("${qm_source}/contrib/systemd/${unit}.service.in" "${qm_build}/units/${unit}.service" @ONLY)
    file(INSTALL "${qm_build}/units/${unit}.service" "${qm_source}/contrib/systemd/${unit}.timer"
         DESTINATION "${unitdir}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  file(INSTALL "${qm_source}/contrib/default/adjtimelog" DESTINATION "${SYSCONFDIR}/default"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${qm_source}/contrib/logrotate/adjtimelog" DESTINATION "${SYSCONFDIR}/logrotate.d"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/contrib/systemd)

# Alert rules for the metrics of adjtimelog -m.
install(FILES contrib/prometheus/adjtimelog.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/qm4107/prometheus)
