# dashwick: intake, replies and authentication in process; the real binary
# in private namespaces.
if(TARGET dashwick)
  add_vorna_test(panel_unit_test SOURCES panel_unit_test.cpp panel_sandbox.cpp
    LIBS panel_core sandbox crypt)
  add_vorna_test(panel_server_test SOURCES panel_server_test.cpp panel_sandbox.cpp
    LIBS sandbox crypt)
  add_dependencies(panel_server_test dashwick)
  add_vorna_test(panel_api_test SOURCES panel_api_test.cpp panel_sandbox.cpp
    LIBS sandbox crypt)
  add_dependencies(panel_api_test dashwick)
endif()
