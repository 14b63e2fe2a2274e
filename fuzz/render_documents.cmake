# The JSON, table and Prometheus renderers on arbitrary device lists.
karvo_fuzzer(render_documents ${CMAKE_CURRENT_LIST_DIR}/render_documents_fuzz.cpp DEPS karvo_render)
