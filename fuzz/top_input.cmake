karvo_fuzzer(top_input ${CMAKE_CURRENT_LIST_DIR}/top_input_fuzz.cpp DEPS karvo_top)
