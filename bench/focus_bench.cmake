# --- focus core over the in-memory tree (needs the test support, built with the tests) ---
if(TARGET wisket_fake_ax)
  wisket_bench(bench_focus_core SOURCES focus_core_bench.cpp DEPS wisket_focus wisket_fake_ax wisket_test_support)
endif()

# --- full reads over AT-SPI of real fields on the test desktop (GTK, Chromium) ---
if(TARGET wisket_test_desktop AND TARGET wisket_atspi)
  wisket_bench(bench_focus_atspi SOURCES focus_atspi_bench.cpp
    DEPS wisket_atspi wisket_focus wisket_test_desktop wisket_test_support)
endif()
