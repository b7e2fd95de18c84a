#include "protect/settings.h"

#include <mutex>
#include <new>

#include "protect/host/host_key.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

struct Settings {
    std::mutex mutex;
    bool configured = false; // false: defaults, host key path from the environment
    Unlock unlock;
    std::string pathText; // what QintHostKeyFileEx hands out
};

Settings &G()
{
    static Settings s;
    return s;
}

constexpr std::size_t kMaxPassphrase = 1024;
constexpr std::size_t kMaxPkcs11Pin = 256;
constexpr std::size_t kMaxSignerPem = 16384;

} // namespace

Unlock CurrentUnlock()
{
    Settings &s = G();
    std::lock_guard guard(s.mutex);
    Unlock copy = s.unlock;
    if (!s.configured || copy.hostKeyPath.empty()) {
        copy.hostKeyPath = DefaultHostKeyPath();
    }
    return copy;
}

} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintProtectSetEx(const QintProtectSettings *settings)
{
    try {
        Unlock next;
        if (settings != nullptr) {
            if (settings->hostKeyFile != nullptr && settings->hostKeyFile[0] != '\0') {
                next.hostKeyPath = settings->hostKeyFile;
            }
            if (settings->passphrase != nullptr) {
                if (settings->passphraseLength == 0 || settings->passphraseLength > kMaxPassphrase) {
                    return QINT_ERR_BAD_ARGUMENT;
                }
                next.hasPassphrase = true;
                next.passphrase.assign(settings->passphrase, settings->passphrase + settings->passphraseLength);
            }
            if ((settings->tpm2PcrMask >> 24) != 0) {
                return QINT_ERR_BAD_ARGUMENT;
            }
            next.pcrMask = settings->tpm2PcrMask;
            if (settings->tpm2Signer != nullptr) {
                TPMT_PUBLIC signer{};
                std::string why;
                if (settings->tpm2PcrMask == 0 || settings->tpm2SignerLength == 0 ||
                    settings->tpm2SignerLength > kMaxSignerPem ||
                    !SignerFromPem(std::span(settings->tpm2Signer, settings->tpm2SignerLength), false, signer, why)) {
                    return QINT_ERR_BAD_ARGUMENT;
                }
                next.tpm2Signer = signer;
            }
            if (settings->recoveryLog2N != 0) {
                if (settings->recoveryLog2N < 14 || settings->recoveryLog2N > 20) {
                    return QINT_ERR_BAD_ARGUMENT;
                }
                next.scryptLog2N = static_cast<std::uint8_t>(settings->recoveryLog2N);
            }
            if (settings->pkcs11Uri != nullptr) {
                next.pkcs11Uri = settings->pkcs11Uri;
            }
            if (settings->pkcs11Module != nullptr) {
                next.pkcs11Module = settings->pkcs11Module;
            }
            if (settings->pkcs11Pin != nullptr) {
                if (settings->pkcs11PinLength == 0 || settings->pkcs11PinLength > kMaxPkcs11Pin) {
                    return QINT_ERR_BAD_ARGUMENT;
                }
                next.hasPkcs11Pin = true;
                next.pkcs11Pin.assign(settings->pkcs11Pin, settings->pkcs11Pin + settings->pkcs11PinLength);
            }
            if ((settings->pkcs11Flags & ~QINT_PKCS11_GENERATE_KEY) != 0) {
                return QINT_ERR_BAD_ARGUMENT;
            }
            next.pkcs11GenerateKey = (settings->pkcs11Flags & QINT_PKCS11_GENERATE_KEY) != 0;
        }
        Settings &s = G();
        std::lock_guard guard(s.mutex);
        s.unlock = std::move(next); // the old passphrase is wiped with its storage
        s.configured = settings != nullptr;
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API const char *QintHostKeyFileEx(void)
{
    Settings &s = G();
    std::lock_guard guard(s.mutex);
    try {
        s.pathText = s.configured && !s.unlock.hostKeyPath.empty() ? s.unlock.hostKeyPath : DefaultHostKeyPath();
    } catch (const std::bad_alloc &) {
        return kDefaultHostKeyFile;
    }
    return s.pathText.c_str();
}

} // extern "C"
