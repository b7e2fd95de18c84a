# bench_daemon: the daemon's throughput and latency against the floor of a
# bare connection, and one encrypt_tool run. Run it inside a throw-away
# namespace as root:   tests/isolated.sh build/bin/bench_daemon
zorva_add_bench(bench_daemon
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_daemon.cpp ${PROJECT_SOURCE_DIR}/tests/e2e/processes.cpp
  LIBS service zorva ZORV MUR)
# The decrypt front on a pkcs11 store uses a SoftHSM2 token of its own, made
# by the fleet tests' helper.
target_include_directories(bench_daemon PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e ${PROJECT_SOURCE_DIR}/tests/fleet
                                                ${ZORVA_PKCS11_INCLUDE_DIR})
# Like the programs, it carries the bounded functions the agent calls.
target_link_options(bench_daemon PRIVATE
  "LINKER:--whole-archive" $<TARGET_FILE:bounded> "LINKER:--no-whole-archive"
  "LINKER:--dynamic-list=${BOUNDED_EXPORT_LIST}")
target_compile_definitions(bench_daemon PRIVATE ZORVA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                           ZORVA_KEYSTORE_FIXTURES="${PROJECT_SOURCE_DIR}/tests/keystore/fixtures"
                           ZORVA_SOFTHSM_MODULE="/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/softhsm/libsofthsm2.so")
target_link_libraries(bench_daemon PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(bench_daemon uds_decrypt_server encrypt_tool zorvm_keytool)
