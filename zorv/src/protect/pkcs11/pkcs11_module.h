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

// The module at path (absolute; a regular file and folder that only root or
// this user may write), loaded and initialised on first use. The returned
// module lives until the process exits.
Status AcquireModule(const std::string &path, Module *&module);

} // namespace zorv::pkcs11
