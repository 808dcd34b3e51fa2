# The Windows build's own parts, included by CMakeLists.txt when WIN32:
# the message table that Event Viewer reads entries with, GoogleTest built
# from Debian's source, the choice of tests that can run under Wine, and
# the Wine test fixtures.

# Message table: windmc makes the header, the .rc and the binary table;
# windres links it into vaultrun.exe, which is the event source's message file.
enable_language(RC)
set(VAULTRUN_MC_DIR ${CMAKE_BINARY_DIR}/messages)
add_custom_command(
  OUTPUT ${VAULTRUN_MC_DIR}/vaultrun_messages.h ${VAULTRUN_MC_DIR}/vaultrun_messages.rc
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VAULTRUN_MC_DIR}
  COMMAND ${CMAKE_MC_COMPILER} -h ${VAULTRUN_MC_DIR} -r ${VAULTRUN_MC_DIR}
          ${CMAKE_SOURCE_DIR}/src/app/vaultrun_messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/src/app/vaultrun_messages.mc
  COMMENT "Compiling the event message table")
target_sources(vaultrun_core PRIVATE ${VAULTRUN_MC_DIR}/vaultrun_messages.h)
target_include_directories(vaultrun_core PRIVATE ${VAULTRUN_MC_DIR})
target_sources(vaultrun PRIVATE ${VAULTRUN_MC_DIR}/vaultrun_messages.rc)
set_source_files_properties(${VAULTRUN_MC_DIR}/vaultrun_messages.rc PROPERTIES
  OBJECT_DEPENDS ${VAULTRUN_MC_DIR}/vaultrun_messages.h)
target_link_libraries(vaultrun_core PUBLIC advapi32 user32)
# Windows headers without their rarely used parts and min/max macros.
target_compile_definitions(vaultrun_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)

# GoogleTest for mingw-w64 from Debian's googletest sources.
set(VAULTRUN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VAULTRUN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The Windows test binary leaves out the tests that need the Linux test
# server (tests/test_db.cc starts mariadbd with fork/exec) or Linux tools
# (unzip, python3 through a shell); the end-to-end script covers those parts
# of the Windows program instead.
function(vaultrun_windows_test_sources sources_var helpers_var)
  set(kept)
  foreach(src ${${sources_var}})
    file(STRINGS ${src} linux_only
         REGEX "#include \"(test_db|run_fixture|program_folder)\\.h\"|RunCommand\\(")
    if(NOT linux_only)
      list(APPEND kept ${src})
    endif()
  endforeach()
  set(${sources_var} ${kept} PARENT_SCOPE)
  set(helpers ${${helpers_var}})
  list(FILTER helpers EXCLUDE REGEX "tests/(test_db|run_fixture|program_folder)\\.cc$")
  set(${helpers_var} ${helpers} PARENT_SCOPE)
endfunction()

function(vaultrun_windows_tests)
endfunction()
