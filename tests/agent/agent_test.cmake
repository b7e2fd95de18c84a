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
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)

function(zorva_add_agent_test name)
  cmake_parse_arguments(ARG "DOUBLES;ISOLATED;OWN_BOUNDED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/support)

  set(_env "")
  set(_doubles "")
  if(ARG_DOUBLES)
    # The stand-ins go first on the link line: the linker keeps only the
    # first library of a SONAME, and the real ones (pulled in through the
    # agent, or needed by a stand-in in the sanitizer builds) carry the same
    # names. They become needed libraries of the program itself, found
    # through its RUNPATH before the agent looks for the real ones, also when
    # the program is started by hand.
    set(_doubles zorv_double mur_double)
    target_link_options(${name} PRIVATE LINKER:--no-as-needed)
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/doubles;$ORIGIN/../lib")
    list(APPEND _env "LD_LIBRARY_PATH=${ZORVA_DOUBLES_DIR}")
  endif()

  if(ARG_OWN_BOUNDED)
    set(_bounded bounded)
  else()
    set(_bounded "$<LINK_LIBRARY:WHOLE_ARCHIVE,bounded>")
  endif()
  target_link_libraries(${name} PRIVATE ${_doubles} zorva ${_bounded} ${ARG_LIBS}
                        GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_link_options(${name} PRIVATE "LINKER:--dynamic-list=${BOUNDED_EXPORT_LIST}")

  if(NOT ARG_DOUBLES AND NOT ARG_ISOLATED)
    # The real key store outside a private namespace: a host key file of the
    # build's own, never the machine's /etc/zorvm_host.key.
    list(APPEND _env "ZORVA_HOST_KEY=${CMAKE_BINARY_DIR}/zorvm_test_host.key")
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
