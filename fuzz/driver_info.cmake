# The decoding of the amdgpu driver's answer on arbitrary bytes. The decoder
# is compiled into the target itself so that libFuzzer's coverage sees it.
karvo_fuzzer(driver_info ${CMAKE_CURRENT_LIST_DIR}/driver_info_fuzz.cpp DEPS karvo_naming karvo_platform)
target_sources(fuzz_driver_info PRIVATE
  ${PROJECT_SOURCE_DIR}/src/discovery/linux/driver_info.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/linux/sysfs_files.cpp
  ${PROJECT_SOURCE_DIR}/src/discovery/sources/source_ledger.cpp)
target_include_directories(fuzz_driver_info PRIVATE ${PROJECT_SOURCE_DIR}/src)
