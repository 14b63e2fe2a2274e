# The report reader: the zip framing, report.json, the answers stream and
# every structured payload; then a quiet replayed pass over what was read, so
# the pass itself meets arbitrary answers. The reader's sources are compiled
# into the target for coverage; the pass comes from the libraries.
karvo_fuzzer(report_file ${CMAKE_CURRENT_SOURCE_DIR}/report_file_fuzz.cpp DEPS karvo_discovery)
target_sources(fuzz_report_file PRIVATE
  ${PROJECT_SOURCE_DIR}/src/common/zip.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/capture/capture.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/capture/payloads.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/capture/report_file.cpp)
target_include_directories(fuzz_report_file PRIVATE ${PROJECT_SOURCE_DIR}/src)
