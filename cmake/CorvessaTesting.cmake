# One helper adds a test binary and registers its tests with CTest.
#
#   corvessa_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#                     [DEFINITIONS <defs...>] [INCLUDES <dirs...>] [DEPENDS <targets...>]
#                     [RESOURCE_LOCK <locks...>] [TIMEOUT <seconds>] [PLAIN])
#
# By default the binary is a GoogleTest program and each of its tests becomes a CTest test.
# PLAIN registers a program without GoogleTest (a C client of a flat interface) as one test
# that passes when it exits 0.
# DEPENDS names targets the tests run (a plug-in, a daemon) that must be built first.
# Every test carries its binary's name as a CTest label, so a run can pick whole binaries
# (`ctest -L '^(ring_tests|hal_plugin_io_test)$'`).
# RESOURCE_LOCK serialises tests that share a machine-wide resource (the "/amvmic" shared
# memory object, the default producer lock file).
if(CORVESSA_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(corvessa_add_test)
  if(NOT CORVESSA_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "PLAIN" "NAME;TIMEOUT"
                        "SOURCES;LIBS;DEFINITIONS;INCLUDES;DEPENDS;RESOURCE_LOCK" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} corvessa::warnings Threads::Threads)
  target_compile_definitions(${ARG_NAME} PRIVATE ${ARG_DEFINITIONS})
  target_include_directories(${ARG_NAME} PRIVATE ${ARG_INCLUDES})
  if(ARG_DEPENDS)
    add_dependencies(${ARG_NAME} ${ARG_DEPENDS})
  endif()
  set(_props TIMEOUT ${ARG_TIMEOUT} LABELS ${ARG_NAME})
  if(ARG_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(ARG_PLAIN)
    # The C++ libraries behind a C interface need the C++ runtime at link time.
    set_target_properties(${ARG_NAME} PROPERTIES LINKER_LANGUAGE CXX)
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
    set_tests_properties(${ARG_NAME} PROPERTIES ${_props})
    return()
  endif()
  target_link_libraries(${ARG_NAME} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${_props})
endfunction()
