# The image test prepares a whole device image, which carries the built engine libraries too.
if(TARGET test_resources)
  add_dependencies(test_resources zorvid_engine pelfin_engine)
endif()
