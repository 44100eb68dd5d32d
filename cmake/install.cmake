# Install layout: where a FreeBSD system keeps each part under the prefix
# (/usr/local there). contrib/freebsd/pkg-plist lists the same tree.
set(QUARN_MANDIR "man" CACHE STRING "Manual page directory under the prefix")

install(TARGETS quarn_dumper RUNTIME DESTINATION sbin)
if(TARGET quarn_inspect)
  install(TARGETS quarn_inspect RUNTIME DESTINATION bin)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/doc/quarn_dumper.8 DESTINATION ${QUARN_MANDIR}/man8)
if(EXISTS ${CMAKE_SOURCE_DIR}/doc/quarn_inspect.1)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/quarn_inspect.1 DESTINATION ${QUARN_MANDIR}/man1)
endif()

# The rc.d script names the installed daemon, so it carries the prefix.
configure_file(${CMAKE_SOURCE_DIR}/contrib/freebsd/rc.d/quarn_dumper.in
               ${CMAKE_BINARY_DIR}/contrib/rc.d/quarn_dumper @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/contrib/rc.d/quarn_dumper DESTINATION etc/rc.d
        PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${CMAKE_SOURCE_DIR}/contrib/freebsd/newsyslog.conf.d/quarn_dumper.conf
        DESTINATION etc/newsyslog.conf.d)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/contrib/freebsd/examples/
        DESTINATION share/quarn_dumper/examples)
if(EXISTS ${CMAKE_SOURCE_DIR}/contrib/wireshark/quarn.lua)
  install(FILES ${CMAKE_SOURCE_DIR}/contrib/wireshark/quarn.lua DESTINATION share/quarn_dumper)
endif()
