# dashwick: request intake, replies and authentication in process; the real
# binary in private namespaces.
if(TARGET dashwick)
  add_library(panel_sandbox STATIC ${CMAKE_CURRENT_SOURCE_DIR}/panel_sandbox.cpp)
  target_link_libraries(panel_sandbox PUBLIC sandbox crypt)
  target_compile_definitions(panel_sandbox PRIVATE DASHWICK_PATH="$<TARGET_FILE:dashwick>")
  add_dependencies(panel_sandbox dashwick)

  add_vorna_test(panel_http_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panel_http_test.cpp
    LIBS panel_core panel_sandbox)
  add_vorna_test(panel_auth_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panel_auth_test.cpp
    LIBS panel_core panel_sandbox)
  add_vorna_test(panel_server_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/panel_server_test.cpp
    LIBS panel_sandbox)
  add_dependencies(panel_server_test dashwick)
endif()
