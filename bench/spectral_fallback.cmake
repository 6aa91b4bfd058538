corvessa_add_bench(NAME spectral_fallback_bench
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/spectral_fallback_bench.cpp
                   LIBS corvessa::ring corvessa::audio_core)
