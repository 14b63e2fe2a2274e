karvo_fuzzer(cli_args ${CMAKE_CURRENT_LIST_DIR}/cli_args_fuzz.cpp DEPS karvo_cli)
