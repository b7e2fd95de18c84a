# bench_broken_store: the daemon with a store that does not load (run it
# through tests/isolated.sh).
zorva_add_bench(bench_broken_store
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_broken_store.cpp ${PROJECT_SOURCE_DIR}/tests/e2e/processes.cpp
  LIBS swtpm_support)
target_include_directories(bench_broken_store PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e)
target_compile_definitions(bench_broken_store PRIVATE ZORVA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(bench_broken_store uds_decrypt_server encrypt_tool zorvm_keytool)
