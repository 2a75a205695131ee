# Helper programs of the store tests.
add_executable(vantlo-store-kill-child ${CMAKE_CURRENT_SOURCE_DIR}/store_kill_child.cc)
target_link_libraries(vantlo-store-kill-child PRIVATE vantlo_store vantlo_platform)
if(TARGET test_store_durability)
  add_dependencies(test_store_durability vantlo-store-kill-child)
endif()
