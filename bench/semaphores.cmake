# Semaphore against POSIX named semaphores (ratios printed at the end).
#   cmake --preset release && cmake --build build/release --target semaphore_bench
#   build/release/bench/semaphore_bench
find_package(benchmark REQUIRED)
add_executable(semaphore_bench ${CMAKE_CURRENT_LIST_DIR}/semaphore_bench.cpp)
rvsys_target_options(semaphore_bench)
target_link_libraries(semaphore_bench PRIVATE rvsysutils_core benchmark::benchmark)
