# Debian package "zorva": `cpack --config build/CPackConfig.cmake` in the build
# folder, or scripts/package, which also checks the result. The package's
# architecture follows the build's target, so the arm64 build yields an arm64
# package.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zorva")
set(CPACK_PACKAGE_CONTACT "zorva maintainers <zorva@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Local secrets service: agent library, decryption daemon and tools")
set(CPACK_PACKAGE_DESCRIPTION
"Keeps short secret texts as Base64 cipher text and turns them back into
plain text for admitted local clients. Contains the agent library libzorva,
the key store libZORV with zorvm_keytool, the data protection libMUR, the
decryption daemon uds_decrypt_server with its systemd unit and the client
uds_decrypt_client, and encrypt_tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build folder, not in the package.
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(_zorva_deb_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_zorva_deb_arch amd64)
else()
  set(_zorva_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_zorva_deb_arch})
set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${_zorva_deb_arch}.deb")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Dependencies: dpkg-shlibdeps works them out from the binaries when it can
# read them (the host's own build, or a cross build with the target's
# libraries installed through multiarch); libcrypto yields libssl3 there.
# Without it they are declared by hand. libZORV links tpm2-tss (ESAPI, system
# API, TCTI loader, marshalling); the ESAPI package pulls in the TCTI modules
# the loader opens at run time (the kernel device among them). The daemon
# links libsystemd; the maintainer scripts create the service user with
# useradd (passwd).
find_program(ZORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The package's own libraries, found through RUNPATH, are no dependency.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, \
libtss2-esys-3.0.2-0 (>= 3.2.1), libtss2-sys1 (>= 3.2.1), libtss2-tctildr0 (>= 3.2.1), libtss2-mu0 (>= 3.2.1), \
libsystemd0, passwd")
endif()

# Control files: the environment file is a conffile (the operator's to
# edit), the shared libraries in /usr/lib activate ldconfig, and the
# maintainer scripts create the service user "zorva" and tell systemd about
# the units without enabling or starting them (a fresh install has no key
# store yet).
set(_zorva_control_dir ${CMAKE_BINARY_DIR}/packaging/control)
file(MAKE_DIRECTORY ${_zorva_control_dir})
file(WRITE ${_zorva_control_dir}/triggers "activate-noawait ldconfig\n")
set(_zorva_control ${_zorva_control_dir}/triggers)
if(TARGET uds_decrypt_server)
  file(WRITE ${_zorva_control_dir}/conffiles "/etc/default/uds_decrypt_server\n")
  list(APPEND _zorva_control ${_zorva_control_dir}/conffiles)
  foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${script} ${_zorva_control_dir}/${script} COPYONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    list(APPEND _zorva_control ${_zorva_control_dir}/${script})
  endforeach()
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_zorva_control})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
