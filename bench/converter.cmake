if(TARGET corvessa::platform)
  corvessa_add_bench(NAME converter_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/converter_bench.cpp
                     LIBS corvessa::platform)
endif()
