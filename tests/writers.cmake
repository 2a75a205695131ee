# The writer processes of the store, property database and registry tests, and the registry
# editor the registry tests run.
add_executable(vantlo-test-writer ${CMAKE_CURRENT_SOURCE_DIR}/writers.cc)
target_link_libraries(vantlo-test-writer PRIVATE vantlo_store vantlo_platform)
foreach(test test_store test_cedb test_registry)
  if(TARGET ${test})
    add_dependencies(${test} vantlo-test-writer)
  endif()
endforeach()
if(TARGET test_registry)
  add_dependencies(test_registry vantlo-reg)
endif()
