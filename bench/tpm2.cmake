# bench_tpm2: sealing and unsealing a 32-byte secret against a throw-away
# swtpm on a Unix socket, with and without a PCR binding, and through a
# signed PCR policy (the sealing code is compiled in: it is hidden inside
# libZORV.so).
set(_zorv_src ${PROJECT_SOURCE_DIR}/zorv/src)
zorva_add_bench(bench_tpm2
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_tpm2.cpp ${PROJECT_SOURCE_DIR}/tests/support/swtpm_instance.cpp
          ${_zorv_src}/protect/tpm2/tpm2_blob.cpp ${_zorv_src}/protect/tpm2/tpm2_esys.cpp ${_zorv_src}/protect/tpm2/tpm2_seal.cpp
  LIBS zorv_crypto PkgConfig::TSS2 zorv_pcr_policy)
target_include_directories(bench_tpm2 PRIVATE ${_zorv_src} ${PROJECT_SOURCE_DIR}/tests/support)
target_compile_definitions(bench_tpm2 PRIVATE ZORVA_KEYSTORE_FIXTURES="${PROJECT_SOURCE_DIR}/tests/keystore/fixtures")
