# orvik_add_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest binary, registered with CTest under its own name.  Tests see
# where the programs and the sources are through two compile definitions.
# Does nothing when ORVIK_BUILD_TESTS is OFF.
function(orvik_add_test name)
  if(NOT ORVIK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/platform)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ORVIK_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ORVIK_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
    ORVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  # Tests never inherit a caller's verbosity or card.
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "TESSEL_VERBOSE=;LUDRA_SIM=;LUDRA_SIM_TRACE=;KVO2_SIM_OUT=;KVO2_SIM_LOG=")
endfunction()
