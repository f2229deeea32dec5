# The Windows build: the Win32 platform layer, the two programs with their
# resources, GoogleTest for a cross build, and the ZIP package.
enable_language(RC)

target_sources(sgsplit_core PRIVATE platform/win32_platform.cc)
target_compile_definitions(sgsplit_core PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(sgsplit_core PUBLIC comdlg32)

if(MINGW)
  # The programs must start on a bare Windows: no runtime DLLs beside them.
  add_link_options(-static)
endif()

set(_win_data ${CMAKE_CURRENT_SOURCE_DIR}/data/windows)

# Both programs carry the same manifest, icon and version record; only the
# names in the version record differ.
function(sgsplit_add_windows_program target main description)
  set(_rc_file_name ${target}.exe)
  set(_rc_description ${description})
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${_win_data}/sgsplit.rc.in ${_rc} @ONLY)
  add_executable(${target} ${ARGN} ${main} ${_rc})
  target_link_libraries(${target} PRIVATE sgsplit_core)
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX)
  # Where the resource compiler finds the manifest and the icon.
  target_include_directories(${target} PRIVATE ${_win_data})
  if(MINGW)
    # wmain and wWinMain take UTF-16 arguments.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-municode>)
    target_link_options(${target} PRIVATE -municode)
  endif()
  set_property(SOURCE ${_rc} APPEND PROPERTY OBJECT_DEPENDS
    ${_win_data}/sgsplit.manifest ${_win_data}/sgsplit.ico)
endfunction()

sgsplit_add_windows_program(sgsplit app/main_desktop_win32.cc "Splits the smoothing groups of an OBJ model into objects" WIN32)
sgsplit_add_windows_program(sgsplit-batch app/main_batch_win32.cc
  "Splits the smoothing groups of OBJ models named on the command line")

install(TARGETS sgsplit sgsplit-batch RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)

set(CPACK_GENERATOR ZIP)
# Without their debugging information, which names the build folder.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "sgsplit-${PROJECT_VERSION}-windows-x64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

# The installer, sgsplit-<version>-x64.msi: `cmake --build . --target msi`,
# made with wixl from data/windows/sgsplit.wxs. wixl looks for the files that
# the .wxs names in the folder it runs in before the one beside the .wxs, so
# it runs in the folder that the install step fills (stripped programs), into
# which the .wxs is copied with the icon; in the build folder it would take
# the unstripped programs there.
find_program(SGSPLIT_WIXL wixl)
if(SGSPLIT_WIXL)
  set(_msi ${CMAKE_BINARY_DIR}/sgsplit-${PROJECT_VERSION}-x64.msi)
  set(_msi_stage ${CMAKE_BINARY_DIR}/msi)
  add_custom_command(OUTPUT ${_msi}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_msi_stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${_msi_stage} --strip
    COMMAND ${CMAKE_COMMAND} -E copy ${_win_data}/sgsplit.wxs ${_win_data}/sgsplit.ico ${_msi_stage}
    COMMAND ${CMAKE_COMMAND} -E chdir ${_msi_stage}
            ${SGSPLIT_WIXL} --arch x64 --define Version=${PROJECT_VERSION} --output ${_msi} sgsplit.wxs
    DEPENDS sgsplit sgsplit-batch ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${_win_data}/sgsplit.wxs ${_win_data}/sgsplit.ico
    VERBATIM)
  add_custom_target(msi DEPENDS ${_msi})
endif()

# A cross build has no GoogleTest for the target system; build it from the
# sources that Debian ships, with the same compiler.
if(SGSPLIT_BUILD_TESTS AND CMAKE_CROSSCOMPILING AND NOT TARGET GTest::gtest)
  set(SGSPLIT_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # It names its targets GTest::gtest and GTest::gtest_main, as the package does.
  add_subdirectory(${SGSPLIT_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
