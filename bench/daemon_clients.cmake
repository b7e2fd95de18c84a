# bench_daemon_clients: the daemon with one and four clients, beside the bare
# connection floor and another build's daemon, and its latency while idle and
# dripping connections hold it. Run it inside a throw-away namespace as root:
#   tests/isolated.sh build/bin/bench_daemon_clients
zorva_add_bench(bench_daemon_clients
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_daemon_clients.cpp ${PROJECT_SOURCE_DIR}/tests/e2e/processes.cpp)
target_include_directories(bench_daemon_clients PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e)
target_compile_definitions(bench_daemon_clients PRIVATE ZORVA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(bench_daemon_clients uds_decrypt_server encrypt_tool zorvm_keytool)
