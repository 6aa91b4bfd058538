# Soak: simulated hours of speech in noise with a far end through the whole producer path and
# the hosted plug-in, faster than real time (see soak/SoakRun.h).
#   the hour:        build/release/bench/soak --minutes 60
#   one minute:      the CTest test soak_test
# Both use "/amvmic" (the only ring the plug-in reads), so the test holds the amvmic lock.
add_library(corvessa_soak STATIC
  ${CMAKE_CURRENT_LIST_DIR}/soak/FrameLedger.cpp ${CMAKE_CURRENT_LIST_DIR}/soak/SoakChecks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/SoakConsumer.cpp ${CMAKE_CURRENT_LIST_DIR}/soak/SoakRun.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/SoakScene.cpp)
target_include_directories(corvessa_soak
  PUBLIC ${CMAKE_CURRENT_LIST_DIR}/soak
  PRIVATE ${PROJECT_SOURCE_DIR}/hal-plugin/tests)
target_link_libraries(corvessa_soak
  PUBLIC corvessa::audio_server corvessa::audio_core corvessa::ring
  PRIVATE voice_quality_signals fmt::fmt corvessa::warnings)
add_dependencies(corvessa_soak AmberlinHALPlugin)

corvessa_add_bench(NAME soak SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak/soak.cpp LIBS corvessa_soak)
target_compile_definitions(soak PRIVATE HAL_PLUGIN_PATH="$<TARGET_FILE:AmberlinHALPlugin>")

corvessa_add_test(NAME soak_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak/tests/soak_test.cpp
                  LIBS corvessa_soak RESOURCE_LOCK amvmic TIMEOUT 900)
if(TARGET soak_test)
  target_compile_definitions(soak_test PRIVATE HAL_PLUGIN_PATH="$<TARGET_FILE:AmberlinHALPlugin>")
endif()
