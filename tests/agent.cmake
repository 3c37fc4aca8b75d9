add_vorna_test(agent_util_test SOURCES agent_util_test.cpp LIBS agent_core sandbox)
add_vorna_test(seedcfg_run_test SOURCES seedcfg_run_test.cpp LIBS sandbox)
