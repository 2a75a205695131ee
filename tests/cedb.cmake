# Writer process used by the property database tests (kill and concurrency scenarios).
add_executable(cedb_writer ${CMAKE_CURRENT_LIST_DIR}/cedb_writer.cc)
target_link_libraries(cedb_writer PRIVATE vantlo_platform)
if(TARGET test_cedb)
  add_dependencies(test_cedb cedb_writer)
endif()
