# RNNoise per-frame cost, state creation cost and resident memory per state.
if(TARGET corvessa::rnnoise)
  corvessa_add_bench(NAME rnnoise_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/rnnoise_bench.cpp
                     LIBS corvessa::rnnoise)
endif()
