# The cgroup-path reading of container attribution on arbitrary text. The
# source is compiled into the target itself so that libFuzzer's coverage sees it.
karvo_fuzzer(cgroup ${CMAKE_CURRENT_LIST_DIR}/cgroup_fuzz.cpp DEPS karvo_platform)
target_sources(fuzz_cgroup PRIVATE
  ${PROJECT_SOURCE_DIR}/src/discovery/linux/containers.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/linux/sysfs_files.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/sources/source_ledger.cpp)
target_include_directories(fuzz_cgroup PRIVATE ${PROJECT_SOURCE_DIR}/src)
