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
target_link_libraries(vaultrun_core PUBLIC advapi32 user32 shell32)

# Each program carries a manifest (no elevation, long paths) and version
# information (product, version, description).
function(vaultrun_windows_program target description)
  set(VAULTRUN_RC_NAME ${target})
  set(VAULTRUN_RC_DESCRIPTION "${description}")
  set(VAULTRUN_RC_MANIFEST ${CMAKE_SOURCE_DIR}/cmake/vaultrun.manifest)
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VAULTRUN_RC_MANIFEST})
endfunction()
vaultrun_windows_program(vaultrun "Vaultrun: unattended backup of the game server's database")
# The backup program runs unattended from the Task Scheduler: the GUI
# subsystem, so Windows opens no console window for it (its entry is still
# main; it has no window either).
target_link_options(vaultrun PRIVATE -mwindows)
# Windows headers without their rarely used parts and min/max macros.
target_compile_definitions(vaultrun_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)

# GoogleTest for mingw-w64 from Debian's googletest sources.
set(VAULTRUN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VAULTRUN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The Windows test binary leaves out the tests that need the Linux test
# server (tests/test_db.cc starts mariadbd with fork/exec) or Linux tools
# (unzip, python3 through a shell) or POSIX and glibc calls; the end-to-end script covers those parts
# of the Windows program instead.
function(vaultrun_windows_test_sources sources_var helpers_var)
  set(kept)
  foreach(src ${${sources_var}})
    file(STRINGS ${src} linux_only
         REGEX "#include [<\"](test_db|run_fixture|program_folder|sys/[a-z]+|unistd|malloc)\\.h[>\"]|RunCommand\\(")
    if(NOT linux_only)
      list(APPEND kept ${src})
    endif()
  endforeach()
  set(${sources_var} ${kept} PARENT_SCOPE)
  # Helpers that need the Linux test server or POSIX process calls stay out.
  set(helpers)
  foreach(src ${${helpers_var}})
    file(STRINGS ${src} linux_only
         REGEX "#include [<\"](test_db|run_fixture|program_folder|fault_util|sys/[a-z]+|unistd)\\.h[>\"]")
    if(NOT linux_only)
      list(APPEND helpers ${src})
    endif()
  endforeach()
  set(${helpers_var} ${helpers} PARENT_SCOPE)
endfunction()

# CTest runs the test binary and the end-to-end cases under Wine, in a
# throwaway Wine prefix of this build folder with one wineserver kept alive
# for the whole run, against a throwaway MariaDB server on 127.0.0.1.
function(vaultrun_windows_tests)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(driver ${CMAKE_SOURCE_DIR}/scripts/windows-e2e)
  set(wine_env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all)
  add_test(NAME wine_prefix_setup COMMAND ${Python3_EXECUTABLE} ${driver} wine-start ${CMAKE_BINARY_DIR})
  add_test(NAME wine_prefix_cleanup COMMAND ${Python3_EXECUTABLE} ${driver} wine-stop ${CMAKE_BINARY_DIR})
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_env}")
  set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine
                       ENVIRONMENT "${wine_env}")
  add_test(NAME e2e_server_setup COMMAND ${Python3_EXECUTABLE} ${driver} db-start ${CMAKE_BINARY_DIR})
  add_test(NAME e2e_server_cleanup COMMAND ${Python3_EXECUTABLE} ${driver} db-stop ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_server_setup PROPERTIES FIXTURES_SETUP e2e_server)
  set_tests_properties(e2e_server_cleanup PROPERTIES FIXTURES_CLEANUP e2e_server)

  set_tests_properties(vaultrun_tests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${wine_env}"
                       TIMEOUT 600)
  # A helper that holds a file open as a virus scanner does, beside the
  # test binary, for the tests of the Env's waiting for such files.
  add_executable(hold_file ${CMAKE_SOURCE_DIR}/tests/windows/hold_file.cc)
  add_dependencies(vaultrun_tests hold_file)
  # A stand-in rclone.exe beside the test binary (so also in the program
  # folder, where the off-site copy looks for it), for the child-process
  # and off-site tests.
  add_executable(rclone_stand_in ${CMAKE_SOURCE_DIR}/tests/windows/rclone_stand_in.cc)
  set_target_properties(rclone_stand_in PROPERTIES OUTPUT_NAME rclone)
  target_link_options(rclone_stand_in PRIVATE -municode)
  add_dependencies(vaultrun_tests rclone_stand_in)
  foreach(name success round_trip messages drive non_ascii event_log registry_view console
          ansi_config table_names long_path restore_command_line)
    add_test(NAME windows_e2e_${name}
             COMMAND ${Python3_EXECUTABLE} ${driver} case ${name} ${CMAKE_BINARY_DIR}
                     $<TARGET_FILE:vaultrun>)
    # The cases share the registry of the one prefix: one at a time.
    set_tests_properties(windows_e2e_${name} PROPERTIES FIXTURES_REQUIRED "wine;e2e_server"
                         ENVIRONMENT "${wine_env};VAULTRUN_RESTORE_EXE=$<TARGET_FILE:vaultrun-restore>"
                         RESOURCE_LOCK wine_registry TIMEOUT 300)
  endforeach()
endfunction()
