# Agent library: encrypt/decrypt round trips and Base64 of short secrets,
# and the unforced key-file check, through the stand-ins of the key store and
# data protection (lib/doubles/), against bare AES-256-GCM in OpenSSL.
if(TARGET zorva AND TARGET zorv_double AND TARGET mur_double)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  zorva_add_bench(bench_agent SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_agent.cpp
                  LIBS zorva zorv_double mur_double OpenSSL::Crypto "$<LINK_LIBRARY:WHOLE_ARCHIVE,bounded>")
  # The agent binds memcpy_s, memset_s and sprintf_s to the program's copies.
  foreach(_sym memcpy_s memset_s sprintf_s)
    target_link_options(bench_agent PRIVATE "LINKER:--export-dynamic-symbol=${_sym}")
  endforeach()
  # Until the bounded library carries sprintf_s, use the tests' stand-in.
  file(GLOB _bench_bounded_sources ${PROJECT_SOURCE_DIR}/bounded/src/*.cpp ${PROJECT_SOURCE_DIR}/bounded/src/*/*.cpp)
  set(_bench_needs_sprintf_s ON)
  foreach(_f ${_bench_bounded_sources})
    file(STRINGS ${_f} _hit REGEX "^int sprintf_s\\(|[ *]sprintf_s\\(char")
    if(_hit)
      set(_bench_needs_sprintf_s OFF)
    endif()
  endforeach()
  if(_bench_needs_sprintf_s)
    target_sources(bench_agent PRIVATE ${PROJECT_SOURCE_DIR}/tests/agent/support/sprintf_s_standin.cpp)
  endif()
  target_include_directories(bench_agent PRIVATE ${PROJECT_SOURCE_DIR}/tests/doubles)
  set_target_properties(bench_agent PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/doubles;$ORIGIN/../lib")
endif()
