karvo_fuzzer(numfmt ${CMAKE_CURRENT_LIST_DIR}/numfmt_fuzz.cpp DEPS karvo_common)
karvo_fuzzer(render_documents ${CMAKE_CURRENT_LIST_DIR}/render_documents_fuzz.cpp DEPS karvo_render)
