# One static library per layer of src/, and the unit tests listed beside it.
#
#   vaultrun_layer(NAME
#     SOURCES a.cc b.cc          every platform
#     POSIX x_posix.cc           only off Windows
#     WINDOWS x_windows.cc       only on Windows
#     DEPENDS vaultrun_core ...  the layers below (and outside libraries)
#     TESTS a_test.cc            unit tests for every platform
#     POSIX_TESTS ...            unit tests off Windows
#     WINDOWS_TESTS ...          unit tests on Windows
#     SERVER_TESTS ...)          unit tests against the Linux test server
#
# The library is vaultrun_NAME; its include root is src/. The tests are
# gathered into the global property VAULTRUN_UNIT_TESTS for tests/, the
# server tests also into VAULTRUN_SERVER_TESTS.
function(vaultrun_layer name)
  cmake_parse_arguments(L "" ""
                        "SOURCES;POSIX;WINDOWS;DEPENDS;TESTS;POSIX_TESTS;WINDOWS_TESTS;SERVER_TESTS"
                        ${ARGN})
  set(sources ${L_SOURCES})
  set(tests ${L_TESTS})
  if(WIN32)
    list(APPEND sources ${L_WINDOWS})
    list(APPEND tests ${L_WINDOWS_TESTS})
  else()
    list(APPEND sources ${L_POSIX})
    list(APPEND tests ${L_POSIX_TESTS} ${L_SERVER_TESTS})
  endif()
  add_library(vaultrun_${name} STATIC ${sources})
  target_include_directories(vaultrun_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(vaultrun_${name} PUBLIC ${L_DEPENDS} PRIVATE vaultrun_warnings)
  list(TRANSFORM tests PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  set_property(GLOBAL APPEND PROPERTY VAULTRUN_UNIT_TESTS ${tests})
  if(NOT WIN32)
    list(TRANSFORM L_SERVER_TESTS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    set_property(GLOBAL APPEND PROPERTY VAULTRUN_SERVER_TESTS ${L_SERVER_TESTS})
  endif()
endfunction()

# Registers every TEST/TEST_F case of the sources as a CTest test of its
# own, named Suite.Case, run as `binary --gtest_filter=Suite.Case`, so that
# `ctest -R Suite.Case` runs one. The cases are read from the sources when
# CMake configures (a changed test file configures again), which works for
# the Windows build too, whose binary cannot run at build time. DISABLED_
# cases are left to their scripts. Each case gets the FIXTURES, the
# ENVIRONMENT (a list), the TIMEOUT and the RESOURCE_LOCK given.
function(vaultrun_test_cases binary sources)
  cmake_parse_arguments(T "" "TIMEOUT;RESOURCE_LOCK" "FIXTURES;ENVIRONMENT" ${ARGN})
  set(case_re "\n(TEST|TEST_F)\\([ \t\r\n]*([A-Za-z0-9_]+)[ \t\r\n]*,[ \t\r\n]*([A-Za-z0-9_]+)")
  foreach(src ${sources})
    file(READ ${src} text)
    string(REGEX MATCHALL "${case_re}" found "${text}")
    foreach(match ${found})
      string(REGEX REPLACE "${case_re}" "\\2.\\3" case "${match}")
      if(case MATCHES "DISABLED_")
        continue()
      endif()
      add_test(NAME ${case} COMMAND ${binary} --gtest_filter=${case})
      set_tests_properties(${case} PROPERTIES LABELS ${binary} FIXTURES_REQUIRED "${T_FIXTURES}"
                           ENVIRONMENT "${T_ENVIRONMENT}" TIMEOUT ${T_TIMEOUT})
      if(T_RESOURCE_LOCK)
        set_tests_properties(${case} PROPERTIES RESOURCE_LOCK ${T_RESOURCE_LOCK})
      endif()
    endforeach()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources})
endfunction()
