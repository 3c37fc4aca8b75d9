# The task runner: form fields and reaping in process; task requests and
# jobs against the real dashwick with stand-in tools (tests/tools).
if(TARGET dashwick)
  add_vorna_test(tasks_unit_test SOURCES tasks_unit_test.cpp panel_sandbox.cpp
    LIBS panel_core sandbox crypt)
  add_vorna_test(tasks_server_test SOURCES tasks_server_test.cpp tasks_sandbox.cpp
    panel_sandbox.cpp LIBS sandbox crypt)
  add_dependencies(tasks_server_test dashwick)
  # Waits out the three-minute limit of a job.
  add_vorna_test(tasks_long_test SOURCES tasks_long_test.cpp tasks_sandbox.cpp
    panel_sandbox.cpp LIBS sandbox crypt TIMEOUT 300 LABELS long)
  add_dependencies(tasks_long_test dashwick)
endif()
