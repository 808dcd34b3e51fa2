# The Windows build's own parts, included by CMakeLists.txt when WIN32:
# the programs' resources, GoogleTest built
# from Debian's source, and the Wine test fixtures.

# The message table (src/platform/CMakeLists.txt) goes into vaultrun.exe,
# which is the event source's message file.
target_sources(vaultrun PRIVATE ${VAULTRUN_MC_DIR}/vaultrun_messages.rc)

# The system DLLs that are not KnownDLLs link through the delay-load
# import libraries of scripts/build-windows-deps, so that none of them is
# in the import table (loaded before main, along a search order that starts
# in the program's folder). The library folder comes first, so that every
# -lsecur32, -lcrypt32 or -lbcrypt of the build (the platform layer's CNG
# calls included) finds them; the paths pkg-config found for Connector/C
# are replaced (also in an older cache).
set(VAULTRUN_DELAYLOAD_DIR ${VAULTRUN_WINDOWS_DEPS}/lib/delayload)
if(NOT EXISTS ${VAULTRUN_DELAYLOAD_DIR}/libsecur32.a)
  message(FATAL_ERROR "No delay-load libraries in ${VAULTRUN_DELAYLOAD_DIR}: run scripts/build-windows-deps")
endif()
get_target_property(VAULTRUN_MARIADB_LIBS PkgConfig::MARIADB INTERFACE_LINK_LIBRARIES)
list(TRANSFORM VAULTRUN_MARIADB_LIBS REPLACE "^.*/lib(secur32|crypt32|bcrypt)\\.a$"
     "${VAULTRUN_DELAYLOAD_DIR}/lib\\1.a")
set_target_properties(PkgConfig::MARIADB PROPERTIES INTERFACE_LINK_LIBRARIES "${VAULTRUN_MARIADB_LIBS}")
target_link_directories(vaultrun_platform BEFORE PUBLIC ${VAULTRUN_DELAYLOAD_DIR})

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

# GoogleTest for mingw-w64 from Debian's googletest sources.
set(VAULTRUN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VAULTRUN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# CTest runs the test binary and the end-to-end cases under Wine, in a
# throwaway Wine prefix of this build folder with one wineserver kept alive
# for the whole run, against a throwaway MariaDB server on 127.0.0.1.
function(vaultrun_windows_tests binary sources)
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

  vaultrun_test_cases(${binary} "${sources}" FIXTURES wine ENVIRONMENT ${wine_env} TIMEOUT 600)
  # A helper that holds a file open as a virus scanner does, beside the
  # test binary, for the tests of the Env's waiting for such files.
  add_executable(hold_file ${CMAKE_SOURCE_DIR}/tests/windows/hold_file.cc)
  set_target_properties(hold_file PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  add_dependencies(${binary} hold_file)
  # A DLL to plant beside the programs or in a plugin folder, and a program
  # that loads a DLL along the standard search order, for the end-to-end
  # case of planted DLLs (beside the programs, where the case looks).
  add_library(planted_dll SHARED ${CMAKE_SOURCE_DIR}/tests/windows/planted_dll.c)
  set_target_properties(planted_dll PROPERTIES PREFIX "" OUTPUT_NAME planted
                        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  add_executable(load_library ${CMAKE_SOURCE_DIR}/tests/windows/load_library.cc)
  set_target_properties(load_library PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  # A stand-in rclone.exe beside the test binary (so also in the program
  # folder, where the off-site copy looks for it), for the child-process
  # and off-site tests.
  add_executable(rclone_stand_in ${CMAKE_SOURCE_DIR}/tests/windows/rclone_stand_in.cc)
  set_target_properties(rclone_stand_in PROPERTIES OUTPUT_NAME rclone
                        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  target_link_options(rclone_stand_in PRIVATE -municode)
  add_dependencies(${binary} rclone_stand_in)
  foreach(name success round_trip messages drive non_ascii event_log registry_view console
          ansi_config table_names long_path restore_command_line install_route planted_dll
          option_files runs_meet held_prune)
    add_test(NAME windows_e2e_${name}
             COMMAND ${Python3_EXECUTABLE} ${driver} case ${name} ${CMAKE_BINARY_DIR}
                     $<TARGET_FILE:vaultrun>)
    # The cases share the registry of the one prefix: one at a time.
    set_tests_properties(windows_e2e_${name} PROPERTIES FIXTURES_REQUIRED "wine;e2e_server"
                         ENVIRONMENT "${wine_env};VAULTRUN_RESTORE_EXE=$<TARGET_FILE:vaultrun-restore>"
                         RESOURCE_LOCK wine_registry TIMEOUT 300)
  endforeach()
endfunction()
