# Installs the launcher entry (run at install time, from install(CODE)).
#
# A desktop session starts the entry's program through its own PATH, which
# holds the system's bin folders, not an install under /opt or a home folder.
# An install elsewhere names its program by full path, quoted and escaped as
# the desktop entry format asks, so that the launcher starts it wherever the
# install went. Inputs: ZORMAK_LAUNCHER_SOURCE (the entry as written, with
# "Exec=zormak"), ZORMAK_LAUNCHER_WORK (a folder for the entry to install).

set(bindir "${CMAKE_INSTALL_PREFIX}/bin")
file(READ "${ZORMAK_LAUNCHER_SOURCE}" entry)
if(NOT bindir MATCHES "^/(usr/(local/)?)?bin/?$")
  set(program "${bindir}/zormak")
  if(program MATCHES "[^A-Za-z0-9_/.+-]")
    # Inside double quotes the format escapes " ` $ and \ with a backslash...
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" program "${program}")
    set(program "\"${program}\"")
  endif()
  # ...the key file escapes each backslash once more, and a field code is a single %.
  string(REPLACE "\\" "\\\\" program "${program}")
  string(REPLACE "%" "%%" program "${program}")
  # (A plain replacement: a regular expression's would take the backslashes as its own.)
  foreach(after " " "\n")
    string(REPLACE "\nExec=zormak${after}" "\nExec=${program}${after}" entry "${entry}")
  endforeach()
endif()
get_filename_component(name "${ZORMAK_LAUNCHER_SOURCE}" NAME)
file(WRITE "${ZORMAK_LAUNCHER_WORK}/${name}" "${entry}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE FILES "${ZORMAK_LAUNCHER_WORK}/${name}")
