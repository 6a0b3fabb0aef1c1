# The X11 key tap on the test desktop (needs the tests' desktop and X client).
if(TARGET wisket_e2e_x11)
  wisket_bench(bench_input SOURCES input_bench.cpp DEPS wisket_x11 wisket_e2e_x11)
endif()
