# What `cmake --install` lays out on Linux, as a distribution's package would:
# the programs, the menu entry with its icon, the manual pages, the AppStream
# metadata and the documents; and the Debian package that CPack makes of it.
set(_data ${CMAKE_CURRENT_SOURCE_DIR}/data)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS sgsplit sgsplit-batch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The menu entry is written at install time, with the prefix installed to.
install(CODE "set(SGSPLIT_DESKTOP_ENTRY_IN [==[${_data}/sgsplit.desktop.in]==])
set(SGSPLIT_DESKTOP_ENTRY [==[${CMAKE_CURRENT_BINARY_DIR}/sgsplit.desktop]==])
set(SGSPLIT_BINDIR [==[${CMAKE_INSTALL_BINDIR}]==])
set(SGSPLIT_DATADIR [==[${CMAKE_INSTALL_DATADIR}]==])")
install(SCRIPT cmake/desktop_entry.cmake)
install(FILES ${_data}/org.sgsplit.sgsplit.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon in every size that scripts/make_icon.py draws, and as a drawing.
file(GLOB _icon_sizes RELATIVE ${_data}/icons ${_data}/icons/*x*)
foreach(_size IN LISTS _icon_sizes)
  install(FILES ${_data}/icons/${_size}/sgsplit.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}/apps)
endforeach()
install(FILES ${_data}/icons/sgsplit.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages, the change log and the README (a document over 4 KiB) go out
# compressed as Debian wants them: at the highest level, with no name or time
# stamp in the header.
find_program(SGSPLIT_GZIP gzip REQUIRED)
# The pages are dated like the release: the change log's latest entry.
file(STRINGS ${_data}/debian/changelog _signed REGEX "^ -- " LIMIT_COUNT 1)
if(NOT _signed MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "data/debian/changelog: no date in its latest entry")
endif()
set(_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND _months ${CMAKE_MATCH_2} _month)
math(EXPR _month "${_month} + 1" OUTPUT_FORMAT DECIMAL)
string(LENGTH ${_month} _digits)
if(_digits EQUAL 1)
  set(_month 0${_month})
endif()
set(SGSPLIT_RELEASE_DATE ${CMAKE_MATCH_3}-${_month}-${CMAKE_MATCH_1})
set(_compressed)
foreach(_page sgsplit.1 sgsplit-batch.1)
  configure_file(${_data}/man/${_page}.in ${_page} @ONLY)
  list(APPEND _compressed ${_page})
endforeach()
configure_file(${_data}/debian/changelog changelog COPYONLY)
configure_file(README.md README.md COPYONLY)
list(APPEND _compressed changelog README.md)
set(_gz_files)
foreach(_file IN LISTS _compressed)
  set(_gz ${CMAKE_CURRENT_BINARY_DIR}/${_file}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${SGSPLIT_GZIP} -9nf -k ${_file}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${_file}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    VERBATIM)
  list(APPEND _gz_files ${_gz})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${_gz_files})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sgsplit.1.gz ${CMAKE_CURRENT_BINARY_DIR}/sgsplit-batch.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz ${_data}/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The change log's latest entry names the version being built.
file(STRINGS ${_data}/debian/changelog _latest LIMIT_COUNT 1)
if(NOT _latest MATCHES "^sgsplit \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "data/debian/changelog does not begin with an entry for ${PROJECT_VERSION}")
endif()

# `cpack -G DEB` in the build folder: sgsplit_<version>_amd64.deb. The package
# holds what the install above lays out under CMAKE_INSTALL_PREFIX, which
# should be /usr for it (the "package" preset sets it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sgsplit)
set(CPACK_PACKAGE_VENDOR "The sgsplit developers")
set(SGSPLIT_PACKAGE_CONTACT "The sgsplit developers <sgsplit@example.org>"
    CACHE STRING "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT ${SGSPLIT_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "split an OBJ model's smoothing groups into objects")
set(CPACK_PACKAGE_DESCRIPTION
    "sgsplit rewrites a Wavefront OBJ model in place so that every smoothing group
becomes an object of its own. The desktop program asks for the model in the
system's open-file dialog; sgsplit-batch rewrites the models named on its
command line. The model is replaced only after a complete pass, so it is
either exactly as it was or completely rewritten.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
