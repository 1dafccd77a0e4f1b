# orvik_add_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest binary, registered with CTest under its own name.  Tests see
# where the programs and the sources are through two compile definitions.
# Does nothing when ORVIK_BUILD_TESTS is OFF.
#
# GoogleTest's header costs every test source about two seconds to parse, so
# all tests share one precompiled header, which also holds the standard
# headers of tests/test_util.h (the compiler falls back to the plain
# headers wherever the flags do not allow it).

# What every test target compiles with.  Test code is built unoptimised:
# it runs for moments, and optimising it would double the build's time.
# The library and programs under test keep the tree's optimisation.
function(orvik_test_settings target)
  target_compile_options(${target} PRIVATE -O0)
  # In the sanitizer tree the code under test carries every check; the
  # tests' own code keeps AddressSanitizer, but UBSan's checks on it would
  # cost a fifth of the tree's build time and guard only the tests.
  if(ORVIK_SANITIZE)
    target_compile_options(${target} PRIVATE -fno-sanitize=undefined)
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/platform)
  target_link_libraries(${target} PRIVATE GTest::gtest Threads::Threads)
  target_compile_definitions(${target} PRIVATE
    ORVIK_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ORVIK_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
    ORVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endfunction()

function(orvik_add_test name)
  if(NOT ORVIK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TARGET orvik_test_pch)
    # An executable, so that it compiles as position-independent code the
    # way the test executables do.
    add_executable(orvik_test_pch ${PROJECT_SOURCE_DIR}/cmake/test_pch.cc)
    orvik_test_settings(orvik_test_pch)
    target_precompile_headers(orvik_test_pch PRIVATE <gtest/gtest.h> <algorithm> <filesystem>
                              <fstream> <map> <memory> <sstream> <string> <vector> <cstdio>
                              <cstdlib> <cstring>)
  endif()
  add_executable(${name} ${T_SOURCES})
  orvik_test_settings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_precompile_headers(${name} REUSE_FROM orvik_test_pch)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  # Tests never inherit a caller's verbosity or card.
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "TESSEL_VERBOSE=;LUDRA_SIM=;LUDRA_SIM_TRACE=;KVO2_SIM_OUT=;KVO2_SIM_LOG=")
endfunction()
