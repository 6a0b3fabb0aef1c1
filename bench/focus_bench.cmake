# --- focus core over the in-memory tree (needs the test support, built with the tests) ---
if(TARGET wisket_fake_ax)
  wisket_bench(bench_focus_core SOURCES focus_core_bench.cpp DEPS wisket_focus wisket_fake_ax wisket_test_support)
endif()
