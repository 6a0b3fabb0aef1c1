# Every target of the project builds warning-clean with these.
add_library(wisket_warnings INTERFACE)
target_compile_options(wisket_warnings INTERFACE -Wall -Wextra -Wpedantic)

# wisket_library(NAME SOURCES... [DEPS ...]): one library per subsystem folder.
function(wisket_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE wisket_warnings)
endfunction()

# wisket_test(NAME SOURCES... DEPS ...): one GoogleTest executable, registered with CTest.
function(wisket_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} wisket_test_support GTest::gtest GTest::gmock GTest::gtest_main wisket_warnings)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
