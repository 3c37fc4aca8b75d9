# The metadata HTTP client and the metadata search (given directory, /mnt,
# configuration drives, metadata service).
add_vorna_test(http_test
  SOURCES http_test.cpp http_server.cpp
  LIBS agent_core sandbox)

# Answers mount(2) for the drive-search tests, preloaded into seedcfg; never
# part of a program. Built without sanitizers: it is preloaded into the
# uninstrumented shell around seedcfg as well.
add_library(fake_mount SHARED fake_mount.cpp)
target_compile_options(fake_mount PRIVATE -fno-sanitize=all)
target_link_options(fake_mount PRIVATE -fno-sanitize=all)

add_vorna_test(sources_test
  SOURCES sources_test.cpp http_server.cpp
  LIBS agent_core sandbox)
target_compile_definitions(sources_test PRIVATE FAKE_MOUNT_PATH="$<TARGET_FILE:fake_mount>")
add_dependencies(sources_test fake_mount)
