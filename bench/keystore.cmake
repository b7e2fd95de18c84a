# Key store: loading a store, and encryption + decryption of short secrets
# against a bare EVP AES-256-GCM round trip.
find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
zorva_add_bench(bench_keystore SOURCES bench_keystore.cpp LIBS MUR ZORV OpenSSL::Crypto)
