wisket_bench(bench_classify SOURCES classify_bench.cpp DEPS wisket_classify)
