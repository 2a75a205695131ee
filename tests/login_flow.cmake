# The login flow cases drive the real resident process through its screen service.
if(TARGET test_login_flow)
  target_link_libraries(test_login_flow PRIVATE vantlo_app_harness)
  add_dependencies(test_login_flow vantlo vantlo-client)
endif()
