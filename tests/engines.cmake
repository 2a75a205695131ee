# The engine tests load the site engine libraries that the device image copies from build/lib.
if(TARGET test_engines)
  add_dependencies(test_engines zorvid_engine pelfin_engine)
endif()
