karvo_fuzzer(numfmt ${CMAKE_CURRENT_LIST_DIR}/numfmt_fuzz.cpp DEPS karvo_common)
