# The network step and the platform's interface calls.
add_library(fake_platform STATIC ${CMAKE_CURRENT_SOURCE_DIR}/fake_platform.cpp)
target_include_directories(fake_platform PUBLIC ${CMAKE_SOURCE_DIR})

add_vorna_test(network_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/network_test.cpp
  LIBS agent_core fake_platform)

add_vorna_test(network_system_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/network_system_test.cpp
  LIBS sandbox platform)
