# Libraries that the upload and module tests load at run time: the recording site engine
# (and variants lacking an export) and a small sample library. They go to build/bin under
# fixed names; the tests copy them into their device root.
function(vantlo_test_library target source)
  add_library(${target} MODULE ${source})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".so"
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  # Without unique symbols the loader can really unmap the library at its last FreeLibrary.
  target_compile_options(${target} PRIVATE -fno-gnu-unique)
  target_link_libraries(${target} PRIVATE Threads::Threads)
endfunction()

vantlo_test_library(vantlo-test-engine ${CMAKE_CURRENT_SOURCE_DIR}/upload/recording_engine.cc)
vantlo_test_library(vantlo-test-engine-nocreate ${CMAKE_CURRENT_SOURCE_DIR}/upload/recording_engine.cc)
target_compile_definitions(vantlo-test-engine-nocreate PRIVATE RECORDING_ENGINE_NO_CREATE)
vantlo_test_library(vantlo-test-engine-norelease ${CMAKE_CURRENT_SOURCE_DIR}/upload/recording_engine.cc)
target_compile_definitions(vantlo-test-engine-norelease PRIVATE RECORDING_ENGINE_NO_RELEASE)
vantlo_test_library(vantlo-test-module ${CMAKE_CURRENT_SOURCE_DIR}/upload/sample_module.cc)

foreach(test test_task_lists test_platform)
  if(TARGET ${test})
    add_dependencies(${test} vantlo-test-engine vantlo-test-engine-nocreate
                     vantlo-test-engine-norelease vantlo-test-module)
  endif()
endforeach()
