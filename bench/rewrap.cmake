# zorvm_keytool rewrap of 10,000 cipher texts, the whole run of the tool.
zorva_add_bench(bench_rewrap
  SOURCES bench_rewrap.cpp
  LIBS MUR ZORV OpenSSL::Crypto)
target_compile_definitions(bench_rewrap PRIVATE ZORVM_KEYTOOL="$<TARGET_FILE:zorvm_keytool>")
add_dependencies(bench_rewrap zorvm_keytool)
