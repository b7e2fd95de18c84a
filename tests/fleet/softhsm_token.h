// A SoftHSM2 token made for one test or benchmark program in a temporary
// folder (through SOFTHSM2_CONF, set before any module is initialised),
// removed at exit. ZORVA_REQUIRE_SOFTHSM is for GoogleTest tests.
#pragma once

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <p11-kit/pkcs11.h>

namespace fleettest {

class SoftHsm {
public:
    static constexpr const char *kLabel = "zorva fleet";
    static constexpr const char *kPin = "246810";
    static constexpr const char *kSoPin = "13579111";

    static SoftHsm &Get()
    {
        static SoftHsm token;
        return token;
    }

    bool ready() const { return why_.empty(); }
    const std::string &why() const { return why_; }
    const std::string &module() const { return module_; }
    const std::string &dir() const { return dir_; }
    // A file holding the PIN, mode 0600.
    const std::string &pinFile() const { return pinFile_; }
    // "pkcs11:token=zorva%20fleet;object=LABEL?pin-source=file:PINFILE"
    std::string Uri(const std::string &object) const
    {
        return "pkcs11:token=zorva%20fleet;object=" + object + "?pin-source=file:" + pinFile_;
    }

    // Deletes the token's secret keys with this label, as an operator
    // revoking a key would.
    bool DestroyKey(const std::string &label) const
    {
        void *handle = dlopen(module_.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto get = handle != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"))
                                     : nullptr;
        CK_FUNCTION_LIST *fn = nullptr;
        if (get == nullptr || get(&fn) != CKR_OK) {
            return false;
        }
        const CK_RV init = fn->C_Initialize(nullptr);
        if (init != CKR_OK && init != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            return false;
        }
        CK_SLOT_ID slots[16];
        CK_ULONG count = 16;
        bool done = false;
        if (fn->C_GetSlotList(CK_TRUE, slots, &count) == CKR_OK) {
            for (CK_ULONG i = 0; i < count && !done; ++i) {
                CK_TOKEN_INFO info{};
                if (fn->C_GetTokenInfo(slots[i], &info) != CKR_OK ||
                    std::string(reinterpret_cast<char *>(info.label), sizeof info.label).rfind(kLabel, 0) != 0) {
                    continue;
                }
                CK_SESSION_HANDLE session = 0;
                fn->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
                std::string pin = kPin;
                fn->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR *>(pin.data()), pin.size());
                CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
                CK_ATTRIBUTE match[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                        {CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
                CK_OBJECT_HANDLE found[8];
                CK_ULONG n = 0;
                fn->C_FindObjectsInit(session, match, 2);
                fn->C_FindObjects(session, found, 8, &n);
                fn->C_FindObjectsFinal(session);
                done = n > 0;
                for (CK_ULONG k = 0; k < n; ++k) {
                    done = fn->C_DestroyObject(session, found[k]) == CKR_OK && done;
                }
                fn->C_Logout(session);
                fn->C_CloseSession(session);
            }
        }
        if (init == CKR_OK) {
            fn->C_Finalize(nullptr);
        }
        return done;
    }

    SoftHsm(const SoftHsm &) = delete;
    SoftHsm &operator=(const SoftHsm &) = delete;

private:
    SoftHsm()
    {
        module_ = ZORVA_SOFTHSM_MODULE;
        if (::access(module_.c_str(), R_OK) != 0) {
            why_ = "SoftHSM2's module for this architecture is not installed (" + module_ + ")";
            return;
        }
        if (std::system("command -v softhsm2-util >/dev/null 2>&1") != 0) {
            why_ = "softhsm2-util is not installed";
            return;
        }
        char tmpl[] = "/tmp/zorva_softhsm_XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            why_ = "no temporary folder";
            return;
        }
        dir_ = tmpl;
        ::mkdir((dir_ + "/tokens").c_str(), 0700);
        const std::string conf = dir_ + "/softhsm2.conf";
        std::ofstream(conf) << "directories.tokendir = " << dir_ << "/tokens\n"
                            << "objectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
        ::setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        const std::string init = std::string("softhsm2-util --init-token --free --label '") + kLabel +
                                 "' --so-pin " + kSoPin + " --pin " + kPin + " >/dev/null";
        if (std::system(init.c_str()) != 0) {
            why_ = "softhsm2-util could not initialise a token";
            return;
        }
        pinFile_ = dir_ + "/user.pin";
        std::ofstream(pinFile_) << kPin << "\n";
        ::chmod(pinFile_.c_str(), 0600);
    }
    ~SoftHsm()
    {
        if (!dir_.empty()) {
            const std::string rm = "rm -rf '" + dir_ + "'";
            if (std::system(rm.c_str()) != 0) {
                std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
            }
        }
    }

    std::string module_;
    std::string dir_;
    std::string pinFile_;
    std::string why_;
};

} // namespace fleettest

#define ZORVA_REQUIRE_SOFTHSM()                                  \
    do {                                                         \
        if (!fleettest::SoftHsm::Get().ready()) {                \
            GTEST_SKIP() << fleettest::SoftHsm::Get().why();      \
        }                                                        \
    } while (0)
