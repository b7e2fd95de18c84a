# bench_daemon_clients: the daemon with one and four clients, beside the bare
# connection floor and another build's daemon, and its latency while idle and
# dripping connections hold it, or one process churns 300 connections (with
# the load tests' churner, so only where the tests are built). Run it inside a
# throw-away namespace as root:
#   tests/isolated.sh build/bin/bench_daemon_clients
if(TARGET load_support)
  zorva_add_bench(bench_daemon_clients
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_daemon_clients.cpp
    LIBS load_support)
  add_dependencies(bench_daemon_clients uds_decrypt_server encrypt_tool zorvm_keytool)
endif()
