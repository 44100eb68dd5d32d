# Runs at install time (see quarn_install_filled in install.cmake): fills
# the %%NAME%% fields of one file and installs it. Set by the caller:
# quarn_source, quarn_scratch (a folder of the build tree), quarn_name (the
# installed file's name), quarn_destination (under the prefix), quarn_mode,
# quarn_user, quarn_group.
file(READ "${quarn_source}" quarn_text)
string(REPLACE "%%PREFIX%%" "${CMAKE_INSTALL_PREFIX}" quarn_text "${quarn_text}")
string(REPLACE "%%QUARN_USER%%" "${quarn_user}" quarn_text "${quarn_text}")
string(REPLACE "%%QUARN_GROUP%%" "${quarn_group}" quarn_text "${quarn_text}")
if(quarn_text MATCHES "%%[A-Z_]+%%")
  message(FATAL_ERROR "${quarn_source}: no value for ${CMAKE_MATCH_0}")
endif()
# A folder of its own for each installation, so that installations to other
# prefixes may run at the same time.
string(RANDOM LENGTH 16 quarn_run)
set(quarn_filled "${quarn_scratch}/${quarn_run}/${quarn_name}")
file(WRITE "${quarn_filled}" "${quarn_text}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${quarn_destination}" TYPE FILE
     PERMISSIONS ${quarn_mode} FILES "${quarn_filled}")
file(REMOVE_RECURSE "${quarn_scratch}/${quarn_run}")
