# The registry tests start registry_writer processes and the vantlo-reg editor.
add_executable(registry_writer ${CMAKE_CURRENT_SOURCE_DIR}/registry_writer.cc)
target_link_libraries(registry_writer PRIVATE vantlo_platform)
add_dependencies(test_registry registry_writer vantlo-reg)
