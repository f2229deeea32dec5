# Run by `cmake --install`: writes the menu entry, whose Exec line names the
# desktop program where it is being installed. The prefix is known only now,
# since `cmake --install --prefix` may differ from the one configured.
# Set before: SGSPLIT_DESKTOP_ENTRY_IN (the template), SGSPLIT_DESKTOP_ENTRY
# (where to write it in the build folder), SGSPLIT_BINDIR and SGSPLIT_DATADIR
# (as GNUInstallDirs has them: relative to the prefix or absolute).
foreach(_dir BINDIR DATADIR)
  if(IS_ABSOLUTE "${SGSPLIT_${_dir}}")
    set(_full_${_dir} "${SGSPLIT_${_dir}}")
  else()
    set(_full_${_dir} "${CMAKE_INSTALL_PREFIX}/${SGSPLIT_${_dir}}")
  endif()
endforeach()

# A path with a blank or another character reserved in the Exec key goes in
# double quotes, with " ` $ and \ escaped inside them; the value as a whole
# then doubles every backslash.
set(SGSPLIT_EXEC "${_full_BINDIR}/sgsplit")
if(NOT SGSPLIT_EXEC MATCHES "^[-A-Za-z0-9_./+,:=@%]*$")
  string(REGEX REPLACE "([\"`$\\])" "\\\\\\1" SGSPLIT_EXEC "${SGSPLIT_EXEC}")
  string(REPLACE "\\" "\\\\" SGSPLIT_EXEC "\"${SGSPLIT_EXEC}\"")
endif()
# A percent sign starts a field code, quoted or not: a launcher would put the
# files to open in place of "%f" in a folder's name, or nothing, and run
# another path. A literal one is written twice.
string(REPLACE "%" "%%" SGSPLIT_EXEC "${SGSPLIT_EXEC}")

configure_file("${SGSPLIT_DESKTOP_ENTRY_IN}" "${SGSPLIT_DESKTOP_ENTRY}" @ONLY)
file(INSTALL DESTINATION "${_full_DATADIR}/applications" TYPE FILE FILES "${SGSPLIT_DESKTOP_ENTRY}")
