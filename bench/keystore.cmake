# Key store: loading a store, and encryption + decryption of short secrets
# against a bare EVP AES-256-GCM round trip.
find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
zorva_add_bench(bench_keystore
  SOURCES bench_keystore.cpp ${PROJECT_SOURCE_DIR}/tests/support/swtpm_instance.cpp
  LIBS MUR ZORV OpenSSL::Crypto PkgConfig::TSS2 zorv_pcr_policy)
target_include_directories(bench_keystore PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_compile_definitions(bench_keystore PRIVATE ZORVA_KEYSTORE_FIXTURES="${PROJECT_SOURCE_DIR}/tests/keystore/fixtures")
