# zorva_add_agent_test(NAME SOURCES src... [LIBS lib...] [LABELS label...] [DOUBLES] [ISOLATED]
#                      [OWN_BOUNDED])
#
# Builds one GoogleTest program against libzorva.so into bin/ and registers it
# with ctest as a single test (the agent's state is process-wide, so the cases
# of one program run in one process, in order).
#
# The program links the bounded library whole and exports its names, so the
# agent binds its memcpy_s, memset_s and sprintf_s to the program's copies.
#
# DOUBLES   links the stand-ins of libZORV.so and libMUR.so (and their control
#           headers) and runs with LD_LIBRARY_PATH=<build>/lib/doubles, so the
#           agent loads the stand-ins even when the real components are built.
# OWN_BOUNDED links the bounded library as a plain archive, so the test may
#           define some bounded functions itself (e.g. a recording memset_s);
#           the archive supplies only the ones it leaves out.
# ISOLATED  runs the program through tests/isolated.sh (private mount
#           namespace with throw-away /startup_disk, /VBX and /etc); skipped
#           (exit 77) when not root.
include_guard(GLOBAL)

find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)

set(ZORVA_BOUNDED_EXPORTS memcpy_s memcpy_sOptAsm memcpy_sOptTc memset_s memset_sOptAsm memset_sOptTc
    strcpy_s strcpy_error sprintf_s vsprintf_s SecVsnprintfImpl)

# Until the bounded library carries sprintf_s, test programs get a minimal
# stand-in from tests/agent/support/ (delete it once the real one is in).
file(GLOB _zorva_bounded_sources ${PROJECT_SOURCE_DIR}/bounded/src/*.cpp ${PROJECT_SOURCE_DIR}/bounded/src/*/*.cpp)
set(ZORVA_TEST_NEEDS_SPRINTF_S ON)
foreach(_f ${_zorva_bounded_sources})
  file(STRINGS ${_f} _hit REGEX "^int sprintf_s\\(|[ *]sprintf_s\\(char")
  if(_hit)
    set(ZORVA_TEST_NEEDS_SPRINTF_S OFF)
  endif()
endforeach()

set(ZORVA_AGENT_TEST_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR}/support)

function(zorva_add_agent_test name)
  cmake_parse_arguments(ARG "DOUBLES;ISOLATED;OWN_BOUNDED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ZORVA_TEST_NEEDS_SPRINTF_S)
    target_sources(${name} PRIVATE ${ZORVA_AGENT_TEST_SUPPORT_DIR}/sprintf_s_standin.cpp)
  endif()
  target_include_directories(${name} PRIVATE ${ZORVA_AGENT_TEST_SUPPORT_DIR})
  if(ARG_OWN_BOUNDED)
    set(_bounded bounded)
  else()
    set(_bounded "$<LINK_LIBRARY:WHOLE_ARCHIVE,bounded>")
  endif()
  # The stand-ins come first on the link line: the linker takes only the
  # first library of a SONAME, and a stand-in that needs libZORV.so (as the
  # sanitizer builds make it) would otherwise bind the real one.
  set(_doubles "")
  if(ARG_DOUBLES)
    set(_doubles zorv_double mur_double)
  endif()
  target_link_libraries(${name} PRIVATE ${_doubles} zorva ${_bounded} ${ARG_LIBS}
                        GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  foreach(_sym ${ZORVA_BOUNDED_EXPORTS})
    target_link_options(${name} PRIVATE "LINKER:--export-dynamic-symbol=${_sym}")
  endforeach()

  set(_env "")
  if(ARG_DOUBLES)
    # The stand-ins come first also when the program is started by hand.
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/doubles;$ORIGIN/../lib")
    list(APPEND _env "LD_LIBRARY_PATH=${ZORVA_DOUBLES_DIR}")
  endif()

  if(ARG_ISOLATED)
    add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/tests/isolated.sh $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "agent;${ARG_LABELS}" TIMEOUT 300)
  if(_env)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${_env}")
  endif()
endfunction()
