# The store transaction tests: their writer process, and the engine libraries the task
# manager case uploads with.
add_executable(vantlo-store-batch-child ${CMAKE_CURRENT_SOURCE_DIR}/store_batch_child.cc)
target_link_libraries(vantlo-store-batch-child PRIVATE vantlo_store vantlo_platform)
if(TARGET test_store_batch)
  add_dependencies(test_store_batch vantlo-store-batch-child zorvid_engine pelfin_engine)
endif()
