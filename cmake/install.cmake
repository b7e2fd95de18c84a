# Install layout (relative to the prefix; the Debian package uses /usr):
#   bin/                 the programs
#   lib/                 libzorva.so, libZORV.so, libMUR.so and libbounded.a
#   include/zorva/       the public headers
#   lib/systemd/system/  the daemon's service and socket units
#   /etc/default/        the daemon's environment file (absolute; see below)
# Plain lib/ rather than a multiarch folder: programs and libraries find each
# other through RUNPATH $ORIGIN/../lib, which needs them one level apart.
# Only the targets that exist in this tree are installed; test programs and
# the stand-in libraries of the tests never are.

set(ZORVA_INSTALL_BINDIR bin)
set(ZORVA_INSTALL_LIBDIR lib)
set(ZORVA_INSTALL_INCLUDEDIR include/zorva)
set(ZORVA_INSTALL_UNITDIR lib/systemd/system)

foreach(t uds_decrypt_server uds_decrypt_client encrypt_tool zorvm_keytool)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION ${ZORVA_INSTALL_BINDIR})
  endif()
endforeach()

# The agent calls memcpy_s, memset_s and sprintf_s without defining them; a
# program that loads it links libbounded.a whole and exports those names, as
# the project's own programs do. So the static library ships with the headers.
foreach(t zorva ZORV MUR bounded)
  if(TARGET ${t})
    install(TARGETS ${t}
            LIBRARY DESTINATION ${ZORVA_INSTALL_LIBDIR}
            ARCHIVE DESTINATION ${ZORVA_INSTALL_LIBDIR})
  endif()
endforeach()

set(_zorva_headers)
foreach(pattern bounded/include/*.h zorv/include/*.h mur/include/*.h zorv-agent/include/zorva_main.h)
  file(GLOB _found ${PROJECT_SOURCE_DIR}/${pattern})
  list(APPEND _zorva_headers ${_found})
endforeach()
if(_zorva_headers)
  install(FILES ${_zorva_headers} DESTINATION ${ZORVA_INSTALL_INCLUDEDIR})
endif()

# The daemon's units and its environment file. With the prefix /usr (the
# package) the environment file goes to /etc/default and the unit is
# installed as written; with any other prefix the environment file goes to
# <prefix>/etc/default, so an install into a scratch prefix never writes below
# the real /etc, and the unit's two paths are pointed into the prefix.
# DESTDIR is honoured either way.
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
  ")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/zorva)
