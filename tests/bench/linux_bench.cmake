# The Linux desktop benchmark (scripts/bench/linux_bench.py runs it on a test desktop).
find_package(benchmark REQUIRED)
add_executable(linux_field_bench ${CMAKE_CURRENT_LIST_DIR}/linux_field_bench.cpp)
target_link_libraries(linux_field_bench PRIVATE caretsafe_core caretsafe_linux caretsafe_warnings
                      benchmark::benchmark)
set_target_properties(linux_field_bench PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests/bench)
