# SSH key list, key-file merge, cloud-config reader and password hash.
add_vorna_test(keys_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keys_test.cpp
  LIBS agent_core sandbox)
add_vorna_test(keys_system_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keys_system_test.cpp
  LIBS sandbox crypt)
