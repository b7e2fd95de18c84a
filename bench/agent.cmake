# Agent library: encrypt/decrypt round trips and Base64 of short secrets, and
# the unforced key-file check, on the real components, against bare
# AES-256-GCM in OpenSSL.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
zorva_add_bench(bench_agent SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_agent.cpp
                LIBS zorva OpenSSL::Crypto "$<LINK_LIBRARY:WHOLE_ARCHIVE,bounded>")
# The agent binds memcpy_s, memset_s and sprintf_s to the program's copies.
target_link_options(bench_agent PRIVATE "LINKER:--dynamic-list=${BOUNDED_EXPORT_LIST}")
target_compile_definitions(bench_agent PRIVATE ZORVA_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
add_dependencies(bench_agent zorvm_keytool)
