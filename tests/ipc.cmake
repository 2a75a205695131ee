# The peer process of the tests of windows across processes.
add_executable(vantlo-ipc-peer ${CMAKE_CURRENT_LIST_DIR}/ipc_peer.cc)
target_link_libraries(vantlo-ipc-peer PRIVATE vantlo_platform)
foreach(test test_ipc test_ipc_long)
  if(TARGET ${test})
    add_dependencies(${test} vantlo-ipc-peer)
  endif()
endforeach()
