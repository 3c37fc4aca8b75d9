# The service log: the terminal-sequence filter in process; the capture
# through a small writer program and through the real programs in private
# namespaces.
if(TARGET servicelog AND TARGET dashwick)
  add_executable(servicelog_writer servicelog_writer.cpp)
  target_link_libraries(servicelog_writer PRIVATE servicelog)

  add_vorna_test(servicelog_test
    SOURCES servicelog_test.cpp panel_sandbox.cpp http_server.cpp
    LIBS servicelog sandbox crypt)
  target_compile_definitions(servicelog_test PRIVATE
    SERVICELOG_WRITER_PATH="$<TARGET_FILE:servicelog_writer>"
    LOGRUN_PATH="$<TARGET_FILE:logrun>")
  add_dependencies(servicelog_test servicelog_writer logrun dashwick)
endif()
