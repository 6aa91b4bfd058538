corvessa_add_bench(NAME ring_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp
                   LIBS corvessa::ring rt)
