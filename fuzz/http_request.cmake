# The request checks of the HTTP API on arbitrary bytes.
karvo_fuzzer(http_request ${CMAKE_CURRENT_LIST_DIR}/http_request_fuzz.cpp DEPS karvo_server)
