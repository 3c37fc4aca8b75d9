# Fault tests of both programs: a file system that fills up and a metadata
# service that misbehaves for seedcfg; clients that vanish, noise, and
# request framing probes for dashwick.
add_vorna_test(faults_agent_test
  SOURCES faults_agent_test.cpp http_server.cpp
  LIBS sandbox)
if(TARGET dashwick)
  add_vorna_test(faults_panel_test SOURCES faults_panel_test.cpp panel_sandbox.cpp tasks_sandbox.cpp
    LIBS sandbox crypt)
  add_dependencies(faults_panel_test dashwick)
endif()
