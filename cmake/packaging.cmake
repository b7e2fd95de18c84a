# Debian packages, built by CPack from the same build folder as everything
# else (scripts/package builds and checks them):
#   zorva      the programs, the private libraries, the units, the TPM
#              drop-in, manual pages and bash completion (component "runtime")
#   zorva-dev  headers, libbounded.a and zorva.pc (component "dev")
# Their architecture follows the build's target, so the arm64 build yields
# arm64 packages.

set(ZORVA_MAINTAINER "zorva maintainers <maintainers@users.noreply.c-seed-b9df8028.example>")

# The packages' version is the newest entry of packaging/changelog:
# the project's version and a Debian revision.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _zorva_changelog_top LIMIT_COUNT 1)
if(NOT _zorva_changelog_top MATCHES "^zorva \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line must read 'zorva (VERSION-REVISION) ...'")
endif()
set(_zorva_upstream_version ${CMAKE_MATCH_1})
set(ZORVA_DEBIAN_REVISION ${CMAKE_MATCH_2})
if(NOT _zorva_upstream_version STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog's newest entry is for ${_zorva_upstream_version}, the project is "
                  "${PROJECT_VERSION}: add an entry before packaging")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorva)
set(CPACK_PACKAGE_VERSION ${_zorva_upstream_version})
set(CPACK_PACKAGE_VENDOR "zorva")
set(CPACK_PACKAGE_CONTACT ${ZORVA_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build folder, not in the packages.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZORVA_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE zorva)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZORVA_MAINTAINER})

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(_zorva_deb_arch arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_zorva_deb_arch amd64)
else()
  set(_zorva_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_zorva_deb_arch})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME zorva)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"local secrets service: decryption daemon, tools and libraries
Keeps short secret texts as Base64 cipher text and turns them back into
plain text for admitted local clients. The package holds the decryption
daemon uds_decrypt_server with its systemd units, the reference client
uds_decrypt_client, the encryption tool encrypt_tool, the key-store tool
zorvm_keytool, and their private libraries: the agent libzorva, the key
store libZORV and the data protection library libMUR.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME zorva-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
"local secrets service: development files for the agent library
Headers of the agent library libzorva, of the key store and of the data
protection library, the static library of bounded memory and string
functions that a program loading the agent links, and zorva.pc.")
# zorva-dev depends on zorva of the same version, which holds the libraries.
set(CPACK_DEB_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

# Dependencies: dpkg-shlibdeps works them out from the binaries when it can
# read them (the host's own build, or a cross build with the target's
# libraries installed through multiarch); libcrypto yields libssl3 there.
# Without it they are declared by hand. libZORV links tpm2-tss (ESAPI, system
# API, TCTI loader, marshalling); the ESAPI package pulls in the TCTI modules
# the loader opens at run time (the kernel device among them) and the udev
# rules that give /dev/tpmrm0 to group tss. The daemon links libsystemd; the
# maintainer scripts create the service user with useradd (passwd) and use
# deb-systemd-helper (init-system-helpers).
set(_zorva_script_depends "passwd, init-system-helpers (>= 1.54~)")
find_program(ZORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # The package's own libraries, found through RUNPATH, are no dependency.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ${_zorva_script_depends})
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libssl3 (>= 3.0.0), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, \
libtss2-esys-3.0.2-0 (>= 3.2.1), libtss2-sys1 (>= 3.2.1), libtss2-tctildr0 (>= 3.2.1), libtss2-mu0 (>= 3.2.1), \
libsystemd0, ${_zorva_script_depends}")
endif()

# Control files of zorva: the environment file is a conffile (the
# operator's to edit); the maintainer scripts create the service user and
# hand the units to deb-systemd-helper.
set(_zorva_control_dir ${CMAKE_BINARY_DIR}/packaging/control)
file(MAKE_DIRECTORY ${_zorva_control_dir})
set(_zorva_control)
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
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_zorva_control})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "zorva")
cpack_add_component(dev DISPLAY_NAME "zorva-dev" DEPENDS runtime)
