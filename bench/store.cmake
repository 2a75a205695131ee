# The store benchmark: the upload stores against plain SQLite (make bench).
add_executable(vantlo-bench-store ${CMAKE_CURRENT_SOURCE_DIR}/bench_store.cc)
target_link_libraries(vantlo-bench-store PRIVATE vantlo_store vantlo_platform SQLite::SQLite3
                      benchmark::benchmark)
