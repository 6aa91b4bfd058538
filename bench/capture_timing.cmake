# Callback period, jitter and block age of the PulseAudio backend's capture on a private sound
# server the bench starts (with the test support library, which is built with the benchmarks).
#   cmake --build build/<dir> --target capture_timing
#   build/<dir>/bench/capture_timing [sessions=3] [seconds=5]
corvessa_add_bench(NAME capture_timing SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_timing.cpp
                   LIBS corvessa::platform_pulse corvessa::test_support)
target_include_directories(capture_timing PRIVATE
  ${PROJECT_SOURCE_DIR}/Sources/Platform/backends/pulse/tests)
