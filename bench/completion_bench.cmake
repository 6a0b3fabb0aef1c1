wisket_bench(bench_completion
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/completion_bench.cpp
  DEPS wisket_prompt wisket_context_filter)
