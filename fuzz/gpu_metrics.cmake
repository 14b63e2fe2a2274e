# The binary gpu_metrics table of amdgpu on arbitrary bytes. The parser is
# compiled into the target itself so that libFuzzer's coverage sees it.
karvo_fuzzer(gpu_metrics ${CMAKE_CURRENT_LIST_DIR}/gpu_metrics_fuzz.cpp DEPS karvo_options)
target_sources(fuzz_gpu_metrics PRIVATE ${PROJECT_SOURCE_DIR}/src/discovery/linux/gpu_metrics.cpp)
target_include_directories(fuzz_gpu_metrics PRIVATE ${PROJECT_SOURCE_DIR}/src)
