# Install layout (relative to the prefix; the Debian packages use /usr):
#   bin/                           the programs
#   lib/<triplet>/zorva/           libzorva.so, libZORV.so, libMUR.so: private
#                                  libraries (unversioned SONAMEs), and libbounded.a
#   lib/<triplet>/pkgconfig/       zorva.pc
#   include/zorva/                 the public headers
#   lib/systemd/system/            the daemon's service and socket units
#   share/zorva/                   the TPM drop-in the operator enables
#   share/man/, share/bash-completion/completions/
#   /etc/default/                  the daemon's environment file (absolute; see below)
# The programs find the private libraries through RUNPATH
# $ORIGIN/../lib/<triplet>/zorva and the libraries each other through
# $ORIGIN, so an installed tree can be moved as a whole (see RUNPATH below
# for the build folder).
#
# Two components, one per Debian package: "runtime" (zorva) and "dev"
# (zorva-dev). Rules marked EXCLUDE_FROM_ALL are the Debian packages' own
# files: a plain "cmake --install" leaves them out.
# Only the targets that exist in this tree are installed; test programs and
# the stand-in libraries of the tests never are.

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ZORVA_INSTALL_ARCHLIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(ZORVA_INSTALL_ARCHLIBDIR lib)
endif()
set(ZORVA_INSTALL_BINDIR bin)
set(ZORVA_INSTALL_PRIVLIBDIR ${ZORVA_INSTALL_ARCHLIBDIR}/zorva)
set(ZORVA_INSTALL_PKGCONFIGDIR ${ZORVA_INSTALL_ARCHLIBDIR}/pkgconfig)
set(ZORVA_INSTALL_INCLUDEDIR include/zorva)
set(ZORVA_INSTALL_UNITDIR lib/systemd/system)
set(ZORVA_INSTALL_DATADIR share/zorva)
set(ZORVA_INSTALL_MANDIR share/man)
set(ZORVA_INSTALL_COMPLETIONDIR share/bash-completion/completions)

# name:man page:section for each program, its page beside its code.
set(_zorva_programs
  uds_decrypt_server:daemon/uds_decrypt_server.8:8
  encrypt_tool:tool/encrypt_tool.1:1
  zorvm_keytool:keytool/zorvm_keytool.8:8
  uds_decrypt_client:client/uds_decrypt_client.1:1)

# zorva_install_gz(SOURCE DESTINATION NAME COMPONENT [EXCLUDE_FROM_ALL]):
# installs SOURCE compressed as DESTINATION/NAME.gz, with gzip -9n (no name
# or time stamp inside, so the same source gives the same bytes).
function(zorva_install_gz source destination name component)
  set(_gz ${CMAKE_BINARY_DIR}/packaging/gz/${component}/${name}.gz)
  install(CODE "
    file(MAKE_DIRECTORY \"${CMAKE_BINARY_DIR}/packaging/gz/${component}\")
    execute_process(COMMAND gzip -9n -c \"${source}\" OUTPUT_FILE \"${_gz}\" RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"gzip ${source}: \${_rc}\")
    endif()" COMPONENT ${component} ${ARGN})
  install(FILES ${_gz} DESTINATION ${destination} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${component} ${ARGN})
endfunction()

foreach(entry ${_zorva_programs})
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 t)
  list(GET entry 1 page)
  list(GET entry 2 section)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${ZORVA_INSTALL_BINDIR} COMPONENT runtime)
    get_filename_component(_page_name ${page} NAME)
    zorva_install_gz(${PROJECT_SOURCE_DIR}/${page} ${ZORVA_INSTALL_MANDIR}/man${section} ${_page_name} runtime)
  endif()
endforeach()

# RUNPATH. The programs that load the libraries carry two entries:
# $ORIGIN/../lib, where the build folder keeps them, and the private folder
# of an installed tree; installing drops the first, so an installed program
# never looks in the public lib/. (Not CMake's own rewrite at install time:
# it pads the build folder's RUNPATH with empty entries, which the loader
# reads as the current directory.) The client loads none of the libraries
# and gets no RUNPATH; the libraries find each other beside them.
set(_zorva_build_runpath "$ORIGIN/../lib")
set(_zorva_installed_runpath "$ORIGIN/../${ZORVA_INSTALL_PRIVLIBDIR}")
foreach(t uds_decrypt_server encrypt_tool zorvm_keytool)
  if(TARGET ${t})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "${_zorva_build_runpath};${_zorva_installed_runpath}")
    install(CODE "
      file(RPATH_CHANGE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ZORVA_INSTALL_BINDIR}/${t}\"
           OLD_RPATH \"${_zorva_build_runpath}:${_zorva_installed_runpath}\"
           NEW_RPATH \"${_zorva_installed_runpath}\")" COMPONENT runtime)
  endif()
endforeach()
if(TARGET uds_decrypt_client)
  set_target_properties(uds_decrypt_client PROPERTIES INSTALL_RPATH "")
endif()
foreach(t zorva ZORV MUR)
  if(TARGET ${t})
    set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${t} LIBRARY DESTINATION ${ZORVA_INSTALL_PRIVLIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
  endif()
endforeach()

# The agent calls memcpy_s, memset_s and sprintf_s without defining them; a
# program that loads it links libbounded.a whole and exports those names, as
# the project's own programs do. So the static library ships with the headers.
if(TARGET bounded)
  install(TARGETS bounded ARCHIVE DESTINATION ${ZORVA_INSTALL_PRIVLIBDIR} COMPONENT dev)
endif()

# The public interface: the agent's header and the key-store header it
# includes, the data-protection header, the bounded functions. The key
# store's administration, key-table, path-rule and process headers are for
# the project's own programs and libraries.
set(_zorva_headers)
foreach(h zorv-agent/include/zorva_main.h zorv/include/zorv.h mur/include/mur.h bounded/include/bounded.h)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${h})
    list(APPEND _zorva_headers ${PROJECT_SOURCE_DIR}/${h})
  endif()
endforeach()
if(_zorva_headers)
  install(FILES ${_zorva_headers} DESTINATION ${ZORVA_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()

# zorva.pc, with the prefix given at install time (the packages: /usr).
if(TARGET zorva)
  set(_zorva_pc_in ${PROJECT_SOURCE_DIR}/packaging/zorva.pc.in)
  set(_zorva_pc ${CMAKE_BINARY_DIR}/packaging/install/zorva.pc)
  install(CODE "
    set(ZORVA_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ZORVA_VERSION \"${PROJECT_VERSION}\")
    set(ZORVA_INSTALL_PRIVLIBDIR \"${ZORVA_INSTALL_PRIVLIBDIR}\")
    set(ZORVA_INSTALL_INCLUDEDIR \"${ZORVA_INSTALL_INCLUDEDIR}\")
    configure_file(\"${_zorva_pc_in}\" \"${_zorva_pc}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ZORVA_INSTALL_PKGCONFIGDIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"${_zorva_pc}\")" COMPONENT dev)
endif()

# The daemon's units and its environment file. With the prefix /usr (the
# package) the environment file goes to /etc/default and the unit is
# installed as written; with any other prefix the environment file goes to
# <prefix>/etc/default, so an install into a scratch prefix never writes below
# the real /etc, and the unit's two paths are pointed into the prefix.
# DESTDIR is honoured either way. The TPM drop-in is not active where it is
# installed: the operator links it into the unit's drop-in folder.
if(TARGET uds_decrypt_server)
  set(_zorva_unit_src ${PROJECT_SOURCE_DIR}/packaging/uds_decrypt_server.service)
  set(_zorva_socket_src ${PROJECT_SOURCE_DIR}/packaging/uds_decrypt_server.socket)
  set(_zorva_env_src ${PROJECT_SOURCE_DIR}/packaging/uds_decrypt_server.env)
  set(_zorva_unit_tmp ${CMAKE_BINARY_DIR}/packaging/install/uds_decrypt_server.service)
  install(CODE "
    set(_zorva_unit \"${_zorva_unit_src}\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(_zorva_etc /etc)
    else()
      set(_zorva_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
      file(READ \"\${_zorva_unit}\" _zorva_text)
      string(REPLACE \"=/usr/bin/\" \"=\${CMAKE_INSTALL_PREFIX}/bin/\" _zorva_text \"\${_zorva_text}\")
      string(REPLACE \"=/etc/default/\" \"=\${_zorva_etc}/default/\" _zorva_text \"\${_zorva_text}\")
      set(_zorva_unit \"${_zorva_unit_tmp}\")
      file(WRITE \"\${_zorva_unit}\" \"\${_zorva_text}\")
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ZORVA_INSTALL_UNITDIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"\${_zorva_unit}\" \"${_zorva_socket_src}\")
    file(INSTALL DESTINATION \"\${_zorva_etc}/default\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         RENAME uds_decrypt_server FILES \"${_zorva_env_src}\")
  " COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/uds_decrypt_server-tpm2.conf DESTINATION ${ZORVA_INSTALL_DATADIR}
          COMPONENT runtime)
endif()

if(TARGET zorvm_keytool)
  install(FILES ${PROJECT_SOURCE_DIR}/keytool/zorvm_keytool.bash-completion DESTINATION ${ZORVA_INSTALL_COMPLETIONDIR}
          RENAME zorvm_keytool COMPONENT runtime)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION share/doc/zorva COMPONENT runtime)
# The README links the pages under docs/: they go beside it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/zorva/docs COMPONENT runtime
        FILES_MATCHING PATTERN "*.md")

# The Debian packages' own files: each package's copyright and changelog,
# and the lintian overrides.
zorva_install_gz(${PROJECT_SOURCE_DIR}/packaging/changelog share/doc/zorva changelog.Debian runtime EXCLUDE_FROM_ALL)
zorva_install_gz(${PROJECT_SOURCE_DIR}/packaging/changelog share/doc/zorva-dev changelog.Debian dev EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/zorva-dev COMPONENT dev EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME zorva COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME zorva-dev COMPONENT dev EXCLUDE_FROM_ALL)
