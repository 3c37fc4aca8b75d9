# dashwick: intake, replies and authentication in process; the real binary
# in private namespaces.
if(TARGET dashwick)
  add_vorna_test(panel_unit_test SOURCES panel_unit_test.cpp panel_sandbox.cpp
    LIBS panel_core sandbox crypt)
  add_vorna_test(panel_server_test SOURCES panel_server_test.cpp panel_sandbox.cpp
    tasks_sandbox.cpp LIBS sandbox crypt)
  add_dependencies(panel_server_test dashwick)
  add_vorna_test(panel_api_test SOURCES panel_api_test.cpp panel_sandbox.cpp
    tasks_sandbox.cpp LIBS sandbox crypt)
  add_dependencies(panel_api_test dashwick)
  # The statistics call and the memory stream are scripted by the test.
  add_vorna_test(panel_api_unit_test SOURCES panel_api_unit_test.cpp panel_sandbox.cpp
    LIBS panel_core sandbox crypt)
  target_link_options(panel_api_unit_test PRIVATE
    -Wl,--wrap=open_memstream -Wl,--wrap=_Z14cpu_statisticsPvmm)
  # The page's copies of the server's figures and lists, read from app.js.
  add_vorna_test(panel_page_test SOURCES panel_page_test.cpp LIBS sandbox)
endif()
