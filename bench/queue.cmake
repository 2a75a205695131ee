# The upload queue under load (make bench): 1,000 tasks through the task manager and the real
# engines against plain file copies, and the start-up with a full pending queue.
if(TARGET vantlo_mgr_harness)
  add_executable(vantlo-bench-queue ${CMAKE_CURRENT_SOURCE_DIR}/bench_queue.cc)
  target_link_libraries(vantlo-bench-queue PRIVATE vantlo_mgr_harness vantlo_upload vantlo_store
                        vantlo_platform)
  add_dependencies(vantlo-bench-queue zorvid_engine pelfin_engine)
endif()
