// The process's instances of PKCS#11 modules. A module is loaded with
// dlopen and initialised once per process (a module keeps one state per
// process), kept until the process ends, and finalised then only when this
// code initialised it: a program that initialised the module itself keeps it.
// Internal to the pkcs11 files: it exposes the module's C interface.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>

#include <p11-kit/pkcs11.h>

#include "protect/pkcs11/pkcs11_status.h"

namespace zorv::pkcs11 {

struct Module {
    std::string path;              // resolved path, the registry's key
    void *handle = nullptr;        // dlopen handle
    CK_FUNCTION_LIST *fn = nullptr;
    bool ownsInit = false;         // C_Initialize was ours: C_Finalize at exit
    pid_t initPid = 0;             // a forked child initialises again
    std::mutex use;                // one operation at a time: the login state is shared by all sessions
};

// The module at path, loaded and initialised on first use: path is absolute,
// no part of it is a link, and it and every folder above it belong to root
// (or this user) and are writable by nobody else (trust/host_config.h). The
// file is opened once and loaded through that descriptor. The returned module
// lives until the process exits.
Status AcquireModule(const std::string &path, Module *&module);
// A failure notes its detail (failure_detail.h): the path rule broken,
// dlerror()'s text, C_Initialize's return code.

// The name of a PKCS#11 return code ("CKR_PIN_INCORRECT"), or its number.
std::string ReturnName(CK_RV rv);

} // namespace zorv::pkcs11
