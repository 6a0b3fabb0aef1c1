# The llama.cpp runtime of the on-device provider, as the target `wisket_llama_cpp`.
# A system installation (CMake package `llama`) wins; otherwise the prebuilt libraries that
# scripts/fetch-llama puts into the git-ignored third_party/llama (fetched here when absent).
# The libraries have no unversioned names, so they are imported by their exact file names;
# CMake's build-tree rpath then points the executables at them.
add_library(wisket_llama_cpp INTERFACE)

find_package(llama CONFIG QUIET)
if(llama_FOUND)
  message(STATUS "llama.cpp: system package ${llama_DIR}")
  target_link_libraries(wisket_llama_cpp INTERFACE llama)
  if(TARGET ggml::ggml)
    target_link_libraries(wisket_llama_cpp INTERFACE ggml::ggml ggml::ggml-base)
  endif()
  return()
endif()

set(WISKET_LLAMA_DIR ${PROJECT_SOURCE_DIR}/third_party/llama)
if(NOT EXISTS ${WISKET_LLAMA_DIR}/.stamp)
  message(STATUS "llama.cpp: fetching into ${WISKET_LLAMA_DIR}")
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-llama RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "llama.cpp: scripts/fetch-llama failed; install llama.cpp or run it by hand")
  endif()
endif()
message(STATUS "llama.cpp: ${WISKET_LLAMA_DIR}")

foreach(lib llama.v0.4.0 ggml.v0.4.0 ggml-base)
  string(REPLACE "." "_" target_name "wisket_llama_cpp_${lib}")
  add_library(${target_name} SHARED IMPORTED GLOBAL)
  set_target_properties(${target_name} PROPERTIES IMPORTED_LOCATION ${WISKET_LLAMA_DIR}/lib/lib${lib}.so)
  target_link_libraries(wisket_llama_cpp INTERFACE ${target_name})
endforeach()
target_include_directories(wisket_llama_cpp SYSTEM INTERFACE ${WISKET_LLAMA_DIR}/include)

# Installed beside each other, with every CPU variant: ggml picks the variant for this
# processor from the folder it was loaded from. The program's install rpath points here.
file(GLOB WISKET_LLAMA_LIBRARIES ${WISKET_LLAMA_DIR}/lib/*.so)
install(FILES ${WISKET_LLAMA_LIBRARIES} DESTINATION lib/wisket)
