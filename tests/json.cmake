# The agent's JSON reader: unit tests, and the shared conformance corpus.
add_vorna_test(json_test SOURCES json_test.cpp LIBS agent_json)
add_vorna_test(json_scan_test SOURCES json_scan_test.cpp LIBS agent_json)
add_vorna_test(json_conformance_test SOURCES json_conformance_test.cpp LIBS agent_json)

# A libFuzzer target for the reader, built only by clang and only when the
# fuzzer runtime links; the reader is compiled into it with instrumentation.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles(
    "#include <cstddef>
     #include <cstdint>
     extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }"
    VORNA_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(VORNA_HAVE_LIBFUZZER)
    add_executable(json_fuzz ${CMAKE_SOURCE_DIR}/fuzz/json_fuzz.cpp ${CMAKE_SOURCE_DIR}/agent/json.cpp)
    target_include_directories(json_fuzz PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(json_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(json_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endif()
