# Voice quality and cost of the voice core next to SpeexDSP and WebRTC audio processing, on
# generated speech, noise and echo. Prints tables; not a CTest test (it runs for minutes).
#   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target voice_quality
#   build/<dir>/bench/voice_quality
# The peers are linked here only, never into a deliverable.
pkg_check_modules(QUALITY_SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
pkg_check_modules(QUALITY_WEBRTC REQUIRED IMPORTED_TARGET webrtc-audio-processing)
pkg_check_modules(QUALITY_ESPEAK REQUIRED IMPORTED_TARGET espeak-ng)
pkg_check_modules(QUALITY_SOXR REQUIRED IMPORTED_TARGET soxr)
find_package(fmt REQUIRED)

set(_quality ${CMAKE_CURRENT_LIST_DIR}/quality)

# Signals and metrics.
add_library(voice_quality_signals STATIC
  ${_quality}/correlation.cpp ${_quality}/levels.cpp ${_quality}/metrics.cpp
  ${_quality}/noise.cpp ${_quality}/room_response.cpp ${_quality}/scenarios.cpp
  ${_quality}/speech_synth.cpp)
target_include_directories(voice_quality_signals PUBLIC ${_quality})
target_link_libraries(voice_quality_signals PUBLIC PkgConfig::QUALITY_ESPEAK PkgConfig::QUALITY_SOXR
                      PRIVATE corvessa::warnings)

# One adapter per system under test, and the frame-by-frame runner.
add_library(voice_quality_systems STATIC
  ${_quality}/runner.cpp ${_quality}/corvessa_pipeline_system.cpp
  ${_quality}/corvessa_echo_stage_system.cpp ${_quality}/speex_echo_system.cpp
  ${_quality}/speex_denoise_system.cpp ${_quality}/webrtc_apm_system.cpp)
# The pipeline's spectral-only construction and the bare echo canceller are internal to the core.
target_include_directories(voice_quality_systems PRIVATE ${PROJECT_SOURCE_DIR}/amberlin-core/src)
target_link_libraries(voice_quality_systems
  PUBLIC voice_quality_signals
  PRIVATE corvessa::voice_core PkgConfig::QUALITY_SPEEXDSP PkgConfig::QUALITY_WEBRTC
          corvessa::warnings)

corvessa_add_bench(NAME voice_quality
  SOURCES ${_quality}/voice_quality.cpp ${_quality}/evaluation.cpp ${_quality}/report.cpp
  LIBS voice_quality_systems fmt::fmt)

corvessa_add_test(NAME voice_quality_test
  SOURCES ${_quality}/tests/metrics_test.cpp ${_quality}/tests/scenarios_test.cpp
          ${_quality}/tests/systems_test.cpp
  LIBS voice_quality_systems)
