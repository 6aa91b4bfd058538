# One helper adds a GoogleTest binary and registers each of its tests with CTest.
#
#   corvessa_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#                     [RESOURCE_LOCK <locks...>] [TIMEOUT <seconds>])
#
# Every test carries its binary's name as a CTest label, so a run can pick whole binaries
# (`ctest -L '^(ring_tests|hal_plugin_io_test)$'`).
# RESOURCE_LOCK serialises tests that share a machine-wide resource (the "/amvmic" shared
# memory object, the default producer lock file, the private sound server).
if(CORVESSA_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(corvessa_add_test)
  if(NOT CORVESSA_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                            corvessa::warnings Threads::Threads)
  set(_props TIMEOUT ${ARG_TIMEOUT} LABELS ${ARG_NAME})
  if(ARG_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${_props})
endfunction()
