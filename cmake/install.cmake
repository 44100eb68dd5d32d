# Install layout: where a FreeBSD system keeps each part under the prefix
# (/usr/local there). contrib/freebsd/pkg-plist lists the same tree as the
# port builds it.
# Manual pages under share/man, where the ports tree keeps them.
set(QUARN_MANDIR share/man)
set(QUARN_USER "quarn" CACHE STRING "User the rc.d script runs the daemon as")
set(QUARN_GROUP "quarn" CACHE STRING "Group of that user, owner of the rotated index")
option(QUARN_RC_SCRIPT "Install the rc.d script (a port installs its own)" ON)
option(QUARN_SAMPLE_CONF "Install the newsyslog entry as a .sample for the package to copy" OFF)
option(QUARN_EXAMPLES "Install the examples" ON)

install(TARGETS quarn_dumper RUNTIME DESTINATION sbin)
if(TARGET quarn_inspect)
  install(TARGETS quarn_inspect RUNTIME DESTINATION bin)
endif()
# The synthesizer lets an administrator try the daemon, its rotation and
# its readers on a stored stream before any connection is logged.
if(TARGET quarn_synth)
  install(TARGETS quarn_synth RUNTIME DESTINATION bin)
endif()

# Files with %%NAME%% fields, filled in when they are installed: %%PREFIX%%
# is then the prefix of `cmake --install --prefix`, not the configure's.
# The ports framework fills the same fields of the rc.d script (SUB_LIST).
function(quarn_install_filled source destination name mode)
  install(CODE "
    set(quarn_source \"${source}\")
    set(quarn_scratch \"${CMAKE_BINARY_DIR}/filled\")
    set(quarn_name \"${name}\")
    set(quarn_destination \"${destination}\")
    set(quarn_mode ${mode})
    set(quarn_user \"${QUARN_USER}\")
    set(quarn_group \"${QUARN_GROUP}\")
    include(\"${CMAKE_SOURCE_DIR}/cmake/install_filled.cmake\")")
endfunction()

set(quarn_mode_file OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(quarn_mode_script OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

quarn_install_filled(${CMAKE_SOURCE_DIR}/doc/quarn_dumper.8 ${QUARN_MANDIR}/man8
                     quarn_dumper.8 "${quarn_mode_file}")
foreach(page quarn_inspect.1 quarn_synth.1)
  if(EXISTS ${CMAKE_SOURCE_DIR}/doc/${page})
    install(FILES ${CMAKE_SOURCE_DIR}/doc/${page} DESTINATION ${QUARN_MANDIR}/man1)
  endif()
endforeach()

if(QUARN_RC_SCRIPT)
  quarn_install_filled(${CMAKE_SOURCE_DIR}/contrib/freebsd/files/quarn_dumper.in etc/rc.d
                       quarn_dumper "${quarn_mode_script}")
endif()
if(QUARN_SAMPLE_CONF)
  set(quarn_newsyslog quarn_dumper.conf.sample)
else()
  set(quarn_newsyslog quarn_dumper.conf)
endif()
quarn_install_filled(${CMAKE_SOURCE_DIR}/contrib/freebsd/newsyslog.conf.d/quarn_dumper.conf.in
                     etc/newsyslog.conf.d ${quarn_newsyslog} "${quarn_mode_file}")

if(QUARN_EXAMPLES)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/contrib/freebsd/examples/
          DESTINATION share/examples/quarn_dumper)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/contrib/wireshark/quarn.lua)
  install(FILES ${CMAKE_SOURCE_DIR}/contrib/wireshark/quarn.lua DESTINATION share/quarn_dumper)
endif()
