# The agent's JSON reader: unit tests, and the shared conformance corpus.
add_vorna_test(json_test SOURCES json_test.cpp LIBS agent_json)
add_vorna_test(json_scan_test SOURCES json_scan_test.cpp LIBS agent_json)
add_vorna_test(json_conformance_test SOURCES json_conformance_test.cpp LIBS agent_json sandbox)
