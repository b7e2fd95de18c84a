// Words for the component's result codes, for log lines and the key tool.
#include <cstdint>

#include "zorv.h"

namespace {

struct Text {
    std::uint64_t code;
    const char *text;
};

constexpr Text kTexts[] = {
    {QINT_OK, "ok"},
    {QINT_LOADED_RESTORED, "loaded; one copy was restored"},
    {QINT_ERR_NO_CALLBACKS, "no callback record registered"},
    {QINT_ERR_BAD_FILE_NAME, "bad key-file name"},
    {QINT_ERR_FILES_UNREADABLE, "neither key-store file can be read"},
    {QINT_ERR_BOTH_DAMAGED, "both key-store files are damaged"},
    {QINT_ERR_UNSUPPORTED_VERSION, "unsupported key-store format version"},
    {QINT_ERR_NOT_INITIALIZED, "no key store loaded"},
    {QINT_ERR_NO_MEMORY, "out of memory"},
    {QINT_ERR_CRYPTO, "crypto library failure"},
    {QINT_ERR_RANDOM, "no random bytes available"},
    {QINT_ERR_LOCK, "lock could not be created"},
    {QINT_ERR_FILE_MISSING, "file does not exist"},
    {QINT_ERR_FILE_READ, "file cannot be opened or read"},
    {QINT_ERR_BAD_MAGIC, "not a key-store file"},
    {QINT_ERR_BAD_LENGTH, "wrong length (truncated or extended)"},
    {QINT_ERR_BAD_MAC, "integrity check failed (damaged or edited)"},
    {QINT_ERR_BAD_CONTENT, "inconsistent key table"},
    {QINT_ERR_FILE_WRITE, "file cannot be written"},
    {QINT_ERR_EXISTS, "file already exists"},
    {QINT_ERR_UNKNOWN_DOMAIN, "unknown domain"},
    {QINT_ERR_UNKNOWN_KEY_ID, "unknown key id"},
    {QINT_ERR_COPIES_DIFFER, "primary and standby differ"},
    {QINT_ERR_BAD_ARGUMENT, "bad argument"},
    {QINT_ERR_BUFFER_TOO_SMALL, "buffer too small"},
    {QINT_ERR_KEY_IDS_EXHAUSTED, "no key id left in the domain"},
    {QINT_ERR_KEY_DISABLED, "key disabled"},
    {QINT_ERR_KEY_ACTIVE, "the domain's active key cannot be disabled or removed"},
    {QINT_ERR_KEY_STATE, "the key is not in the state the change needs (changed meanwhile?)"},
    {QINT_ERR_HOST_KEY_MISSING, "host key file does not exist"},
    {QINT_ERR_HOST_KEY_BAD, "host key file is not a 32-byte file readable by its owner only, or cannot be read"},
    {QINT_ERR_NO_SLOT_OPENS, "no protector slot opens with this host's key (a store of another host?)"},
    {QINT_ERR_WRONG_PASSPHRASE, "wrong recovery passphrase"},
    {QINT_ERR_NO_PASSPHRASE, "only a recovery slot could open it, and no passphrase was given"},
    {QINT_ERR_TPM_UNREACHABLE, "no TPM reachable"},
    {QINT_ERR_TPM_NOT_THIS, "the sealed object does not unseal on this TPM"},
    {QINT_ERR_TPM_PCR_CHANGED, "the PCR values the slot is bound to have changed"},
    {QINT_ERR_TPM, "TPM failure"},
    {QINT_ERR_BUILTIN_ONLY, "the store is protected by the built-in key only; migrate it first"},
    {QINT_ERR_LAST_SLOT, "refused: no remaining slot would open the store on this host"},
    {QINT_ERR_NO_SUCH_SLOT, "no protector slot with that id"},
    {QINT_ERR_TPM_NO_POLICY, "no signed PCR policy by the slot's signer is installed for its PCRs "
                             "('zorvm_keytool tpm2-policy sign' and 'install')"},
    {QINT_ERR_TPM_POLICY_REFUSED, "the TPM refused the signer's key or signature of the installed PCR policy "
                                  "that matches (edited or damaged? 'zorvm_keytool tpm2-policy list')"},
    {QINT_ERR_PKCS11_URI, "the PKCS#11 URI is malformed, carries a PIN, or names no token or key"},
    {QINT_ERR_PKCS11_MODULE, "the PKCS#11 module does not load (missing, not a module, or writable by others)"},
    {QINT_ERR_PKCS11_TOKEN, "no token with the URI's label is present"},
    {QINT_ERR_PKCS11_NO_PIN, "the token needs a PIN: none given, or the PIN file is unreadable or open to others"},
    {QINT_ERR_PKCS11_PIN, "the token refused the PIN (or the PIN is locked)"},
    {QINT_ERR_PKCS11_KEY_MISSING, "the token key the URI names is not on the token (deleted?)"},
    {QINT_ERR_PKCS11_UNWRAP, "the wrapped key does not open under the token key"},
    {QINT_ERR_PKCS11, "PKCS#11 module or token failure"},
    {QINT_ERR_NOT_THIS_HOST, "the copy was sealed for another host"},
    {QINT_ERR_SEALED_TAMPERED, "the sealed copy changed since it was sealed"},
    {QINT_ERR_BAD_HOST_ID, "the host id is malformed or mistyped"},
    {QINT_ERR_FOREIGN_COPY, "a copy of another store (another identity or root key): refused and left as it is"},
    {QINT_ERR_NOT_PINNED, "not the store this host serves: accept it with 'zorvm_keytool import' or "
                          "'zorvm_keytool adopt'"},
    {QINT_ERR_FORMAT1_REFUSED, "a format-1 store (built-in key only) on a host that serves a newer store: refused"},
    {QINT_ERR_IMPORT_ONLY, "a carried copy sealed for this host: it opens only through 'zorvm_keytool import'"},
    {QINT_ERR_UNSIGNED, "no valid signature by an administrator key this host trusts ('zorvm_keytool trust add')"},
    {QINT_ERR_PKCS11_NOT_CONFIGURED, "the slot's PKCS#11 module is not configured on this host "
                                     "('zorvm_keytool pkcs11 add')"},
    {QINT_ERR_ROLLBACK, "the copy used is older than the newest this host has seen (a restored backup or a "
                        "rollback)"},
    {QINT_ERR_HOST_CONFIG, "the host configuration is unsafe or unreadable (root-owned, no links, not writable by "
                           "group or others)"},
};

} // namespace

extern "C" ZORV_API const char *QintErrorTextEx(uint64_t code)
{
    for (const Text &t : kTexts) {
        if (t.code == code) {
            return t.text;
        }
    }
    return "unknown error";
}
