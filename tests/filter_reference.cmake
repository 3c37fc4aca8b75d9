# The terminal-sequence filter against a byte-at-a-time reference.
if(TARGET servicelog)
  add_vorna_test(filter_reference_test SOURCES filter_reference_test.cpp LIBS servicelog)
endif()
