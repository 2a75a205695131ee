# The status-query load (make bench): client processes asking the real resident process for
# upload statuses among 10,000 history entries, against a bare echo over the same transport.
add_executable(vantlo-bench-status ${CMAKE_CURRENT_SOURCE_DIR}/bench_status.cc)
target_link_libraries(vantlo-bench-status PRIVATE vantlo_store vantlo_platform)
add_dependencies(vantlo-bench-status vantlo)
