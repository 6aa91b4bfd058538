# Cost of one 512-frame read-input IO cycle through the plug-in's driver table, with a producer
# keeping "/amvmic" fed, next to the producer's own per-frame write.
#   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target hal_plugin_bench
#   build/<dir>/bench/hal_plugin_bench
corvessa_add_bench(NAME hal_plugin_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/hal_plugin_bench.cpp
                   LIBS corvessa::audio_server corvessa::ring)
target_compile_definitions(hal_plugin_bench PRIVATE
  HAL_PLUGIN_PATH="$<TARGET_FILE:AmberlinHALPlugin>")
add_dependencies(hal_plugin_bench AmberlinHALPlugin)
