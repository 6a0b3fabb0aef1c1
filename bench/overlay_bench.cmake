wisket_bench(bench_overlay SOURCES overlay_bench.cpp DEPS wisket_overlay_qt)
find_package(Qt6 REQUIRED COMPONENTS Widgets)
target_link_libraries(bench_overlay PRIVATE Qt6::Widgets)
target_compile_definitions(bench_overlay PRIVATE QT_NO_KEYWORDS QT_NO_CAST_FROM_ASCII)
