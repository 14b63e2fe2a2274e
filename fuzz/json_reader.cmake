# The JSON reader, and the WMI adapter parsing built on it. Their sources are
# compiled into the target itself so that libFuzzer's coverage sees them.
karvo_fuzzer(json_reader ${CMAKE_CURRENT_SOURCE_DIR}/json_reader_fuzz.cpp DEPS karvo_options)
target_sources(fuzz_json_reader PRIVATE
  ${PROJECT_SOURCE_DIR}/src/common/json_reader.cpp
  ${PROJECT_SOURCE_DIR}/src/common/text.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/naming/naming.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/wmi/wmi_parse.cpp)
target_include_directories(fuzz_json_reader PRIVATE ${PROJECT_SOURCE_DIR}/src)
