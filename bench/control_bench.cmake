# The controller's key handler, driven through the recording fakes of the tests.
if(TARGET wisket_control_fakes)
  wisket_bench(bench_control SOURCES control_bench.cpp DEPS wisket_control wisket_control_fakes)
endif()
