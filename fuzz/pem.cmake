# The PEM reading of the HTTPS certificate, key and CA files on arbitrary text.
karvo_fuzzer(pem ${CMAKE_CURRENT_LIST_DIR}/pem_fuzz.cpp DEPS karvo_server)
