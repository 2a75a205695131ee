# The peer process of the tests of windows across processes.
add_executable(vantlo-ipc-peer ${CMAKE_CURRENT_LIST_DIR}/ipc_peer.cc)
target_link_libraries(vantlo-ipc-peer PRIVATE vantlo_platform)
if(TARGET test_ipc)
  add_dependencies(test_ipc vantlo-ipc-peer)
endif()
