# The application's tests (test_app_*.cc): their harness (the application in-process, the
# real programs as processes) and the programs the end-to-end and login cases start.
add_library(vantlo_app_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/app_harness.cc)
target_link_libraries(vantlo_app_harness PUBLIC vantlo_app vantlo_test_support)

file(GLOB APP_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_app_*.cc)
foreach(src ${APP_TESTS})
  get_filename_component(test ${src} NAME_WE)
  if(TARGET ${test})
    target_link_libraries(${test} PRIVATE vantlo_app_harness)
    add_dependencies(${test} vantlo vantlo-client vantlo-agent vantlo-reg zorvid_engine
                     pelfin_engine)
  endif()
endforeach()
