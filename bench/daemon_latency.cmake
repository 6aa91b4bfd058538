# Delay from a frame written into "/amvmic" to a recording application of "Corvessa Mic",
# through the real daemon and a private sound server the bench starts (needs the test fixture,
# so tests must be enabled). Holds "/amvmic": do not run it beside the amvmic tests.
#   cmake --build build/<dir> --target daemon_latency
#   build/<dir>/bench/daemon_latency [frames-per-cycle=128] [sessions=6] [seconds=5]
if(TARGET corvessa::test_support AND TARGET corvessa-audio-server)
  pkg_check_modules(DAEMON_LATENCY_PULSE REQUIRED IMPORTED_TARGET libpulse-simple)
  corvessa_add_bench(NAME daemon_latency SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_latency.cpp
                     LIBS corvessa::ring corvessa::test_support PkgConfig::DAEMON_LATENCY_PULSE)
  target_compile_definitions(daemon_latency PRIVATE
    DAEMON_PATH="$<TARGET_FILE:corvessa-audio-server>")
  add_dependencies(daemon_latency corvessa-audio-server)
endif()
