# Echo canceller and far-end reference queue: microseconds per 10 ms frame.
#   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target aec_bench
#   build/<dir>/bench/aec_bench
# The SpeexDSP echo canceller with its residual suppressor runs beside it as the peer figure.
corvessa_add_bench(NAME aec_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/aec_bench.cpp
                   LIBS corvessa::voice_core)
target_include_directories(aec_bench PRIVATE ${PROJECT_SOURCE_DIR}/amberlin-core/src)
pkg_check_modules(AEC_BENCH_SPEEXDSP IMPORTED_TARGET speexdsp)
if(AEC_BENCH_SPEEXDSP_FOUND)
  target_link_libraries(aec_bench PRIVATE PkgConfig::AEC_BENCH_SPEEXDSP)
  target_compile_definitions(aec_bench PRIVATE AEC_BENCH_WITH_SPEEXDSP=1)
endif()
