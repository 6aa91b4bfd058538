# Voice core: microseconds per 10 ms frame of each stage and of the whole pipeline in its four
# configurations (echo cancellation on/off x neural/spectral), and the resident memory of one
# pipeline.
#   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target voice_core_bench
#   build/<dir>/bench/voice_core_bench
corvessa_add_bench(NAME voice_core_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/voice_core_bench.cpp
                   LIBS corvessa::voice_core)
target_include_directories(voice_core_bench PRIVATE ${PROJECT_SOURCE_DIR}/amberlin-core/src)
