# The task manager's tests: their harness (main window and agent stand-ins), the child program
# of the kill-and-restart test, and the real engine libraries the device image installs.
add_library(vantlo_mgr_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/mgr_harness.cc)
target_link_libraries(vantlo_mgr_harness PUBLIC vantlo_upload vantlo_store vantlo_platform)

add_executable(vantlo-mgr-kill-child ${CMAKE_CURRENT_SOURCE_DIR}/mgr_kill_child.cc)
target_link_libraries(vantlo-mgr-kill-child PRIVATE vantlo_mgr_harness)

if(TARGET test_task_mgr)
  target_link_libraries(test_task_mgr PRIVATE vantlo_mgr_harness)
  add_dependencies(test_task_mgr zorvid_engine pelfin_engine vantlo-mgr-kill-child vantlo-test-engine)
endif()
