# On-device model latency with a model of real shape (written by the benchmark itself).
if(TARGET wisket_completion_test_support)
  wisket_bench(bench_completion_engine
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/completion_engine_bench.cpp
    DEPS wisket_llama wisket_prompt wisket_text wisket_completion_test_support)
endif()
