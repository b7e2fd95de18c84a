#include "protect/protector.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <string_view>

#include "crypto/gcm.h"
#include "key_derivation.h"
#include "protect/host/host_key.h"
#include "protect/pkcs11/pkcs11_slot.h"
#include "protect/sealed_for/sealed_for_slot.h"
#include "protect/slot_cache.h"
#include "protect/tpm2/tpm2_seal.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

constexpr std::string_view kHostLabel = "zorv slot host v2";
constexpr std::string_view kTpmLabel = "zorv slot tpm2 v2";
constexpr std::string_view kHostTpmLabel = "zorv slot host+tpm2 v2";
constexpr std::string_view kPkcs11Label = "zorv slot pkcs11 v2";
constexpr std::string_view kSealedForLabel = "zorv slot sealed-for v2";
constexpr std::uint64_t kScryptMaxMemory = 512ull << 20;

using Bytes = std::span<const std::uint8_t>;

bool IsTpm(std::uint8_t type) { return type == QINT_PROTECT_TPM2 || type == QINT_PROTECT_HOST_TPM2; }
bool UsesHostKey(std::uint8_t type) { return type == QINT_PROTECT_HOST || type == QINT_PROTECT_HOST_TPM2; }

std::uint64_t FromTpm(tpm2::Status s)
{
    switch (s) {
    case tpm2::Status::ok: return 0;
    case tpm2::Status::noTpm: return QINT_ERR_TPM_UNREACHABLE;
    case tpm2::Status::notThisTpm:
    case tpm2::Status::badBlob: return QINT_ERR_TPM_NOT_THIS;
    case tpm2::Status::pcrChanged: return QINT_ERR_TPM_PCR_CHANGED;
    case tpm2::Status::failure: break;
    }
    return QINT_ERR_TPM;
}

bool Scrypt(const SecretBytes &passphrase, const ScryptParams &p, Key32 &out)
{
    EVP_KDF *kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SCRYPT, nullptr);
    EVP_KDF_CTX *ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    if (ctx == nullptr) {
        return false;
    }
    std::uint64_t n = std::uint64_t{1} << p.log2N;
    std::uint32_t r = p.r;
    std::uint32_t par = p.p;
    std::uint64_t maxMemory = kScryptMaxMemory;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<std::uint8_t *>(passphrase.data()),
                                          passphrase.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t *>(p.salt.data()),
                                          p.salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &par),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemory),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx); // cleanses its state
    return ok;
}

// Cache key of a slot: the SHA-256 of its bytes and of what else its secret
// depends on. A recovery slot's includes the passphrase, so a cached key
// never stands in for another passphrase; a host slot's includes the host
// key file's path and identity (device, inode, size, times, mode, owner),
// so a file that was removed, replaced or opened up is read and checked
// again. 0, or why the slot cannot be tried (QINT_ERR_HOST_KEY_MISSING,
// _HOST_KEY_BAD, _NO_PASSPHRASE, _CRYPTO).
std::uint64_t CacheKey(const Slot &slot, const Unlock &unlock, std::array<std::uint8_t, 32> &digest)
{
    SecretBytes extra;
    if (slot.type == QINT_PROTECT_RECOVERY) {
        if (!unlock.hasPassphrase) {
            return QINT_ERR_NO_PASSPHRASE;
        }
        extra = unlock.passphrase;
    } else if (slot.type == QINT_PROTECT_HOST || slot.type == QINT_PROTECT_SEALED_FOR) {
        struct stat st {};
        if (::lstat(unlock.hostKeyPath.c_str(), &st) != 0) {
            return errno == ENOENT ? QINT_ERR_HOST_KEY_MISSING : QINT_ERR_HOST_KEY_BAD;
        }
        const std::uint64_t stamp[] = {
            st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size),
            static_cast<std::uint64_t>(st.st_mtim.tv_sec), static_cast<std::uint64_t>(st.st_mtim.tv_nsec),
            static_cast<std::uint64_t>(st.st_ctim.tv_sec), static_cast<std::uint64_t>(st.st_ctim.tv_nsec),
            st.st_mode, st.st_uid,
        };
        const auto *s = reinterpret_cast<const std::uint8_t *>(stamp);
        extra.assign(unlock.hostKeyPath.begin(), unlock.hostKeyPath.end());
        extra.insert(extra.end(), s, s + sizeof stamp);
    }
    return SlotDigest(slot, extra, digest) ? 0 : QINT_ERR_CRYPTO;
}


// The slot key from the type's secrets: the host key, the TPM's secret, or
// (recovery) the passphrase's key itself.
std::uint64_t KeyFromSecrets(std::uint8_t type, Salt salt, const Key32 &hostKey, const Key32 &secret, Key32 &slotKey)
{
    bool ok = false;
    if (type == QINT_PROTECT_HOST) {
        const Bytes parts[] = {hostKey.span()};
        ok = DeriveSlotKey(kHostLabel, salt, parts, slotKey);
    } else if (type == QINT_PROTECT_TPM2) {
        const Bytes parts[] = {secret.span()};
        ok = DeriveSlotKey(kTpmLabel, salt, parts, slotKey);
    } else if (type == QINT_PROTECT_HOST_TPM2) {
        const Bytes parts[] = {hostKey.span(), secret.span()};
        ok = DeriveSlotKey(kHostTpmLabel, salt, parts, slotKey);
    } else if (type == QINT_PROTECT_RECOVERY) {
        slotKey = secret;
        ok = true;
    } else if (type == QINT_PROTECT_PKCS11 || type == QINT_PROTECT_SEALED_FOR) {
        const Bytes parts[] = {secret.span()};
        ok = DeriveSlotKey(type == QINT_PROTECT_PKCS11 ? kPkcs11Label : kSealedForLabel, salt, parts, slotKey);
    }
    return ok ? 0 : QINT_ERR_CRYPTO;
}

// The slot key of slot, digest being its cache key. secret is what goes
// into the cache: the host slot's key, the TPM's secret, the passphrase's
// key.
std::uint64_t SlotKey(Salt salt, const Slot &slot, const Unlock &unlock, SlotDigestBytes digest, Key32 &slotKey,
                      Key32 &secret, bool &fromCache)
{
    fromCache = CachedSlotSecret(digest, secret);
    if (slot.type == QINT_PROTECT_HOST && fromCache) {
        slotKey = secret;
        return 0;
    }
    Key32 hostKey;
    if (UsesHostKey(slot.type)) {
        if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
            return rc;
        }
    }
    if (slot.type == QINT_PROTECT_HOST) {
        const std::uint64_t rc = KeyFromSecrets(slot.type, salt, hostKey, secret, slotKey);
        secret = slotKey;
        return rc;
    }
    if (slot.type == QINT_PROTECT_PKCS11 || slot.type == QINT_PROTECT_SEALED_FOR) {
        // The token is asked once per process and slot; later loads use the cache.
        if (!fromCache) {
            const std::uint64_t rc = slot.type == QINT_PROTECT_PKCS11
                                         ? OpenPkcs11Secret(slot.params, unlock, salt, slot.id, secret)
                                         : OpenSealedForSecret(slot.params, unlock, salt, slot.id, secret);
            if (rc != 0) {
                return rc;
            }
        }
        return KeyFromSecrets(slot.type, salt, hostKey, secret, slotKey);
    }
    if (slot.type == QINT_PROTECT_RECOVERY) {
        ScryptParams p;
        if (!ParseScryptParams(slot, p)) {
            return QINT_ERR_BAD_CONTENT;
        }
        if (!fromCache && !Scrypt(unlock.passphrase, p, secret)) {
            return QINT_ERR_CRYPTO;
        }
        return KeyFromSecrets(slot.type, salt, hostKey, secret, slotKey);
    }
    TpmParams p;
    if (!ParseTpmParams(slot, p)) {
        return QINT_ERR_BAD_CONTENT;
    }
    if (!fromCache) {
        if (const std::uint64_t rc = FromTpm(tpm2::Unseal(p.blob, secret.span())); rc != 0) {
            return rc;
        }
    }
    return KeyFromSecrets(slot.type, salt, hostKey, secret, slotKey);
}

std::uint64_t OpenSlotWith(Salt salt, const Slot &slot, const Unlock &unlock, SlotDigestBytes digest, Key32 &root)
{
    Key32 slotKey;
    Key32 secret;
    bool fromCache = false;
    if (const std::uint64_t rc = SlotKey(salt, slot, unlock, digest, slotKey, secret, fromCache); rc != 0) {
        return rc;
    }
    const auto aad = SlotAad(salt, slot);
    Gcm gcm;
    if (!gcm.OpenOnce(slotKey.span(), slot.nonce, aad, slot.sealed, root.data(), slot.tag)) {
        root = Key32();
        return slot.type == QINT_PROTECT_RECOVERY ? QINT_ERR_WRONG_PASSPHRASE : QINT_ERR_NO_SLOT_OPENS;
    }
    if (!fromCache) {
        CacheSlotSecret(digest, secret);
    }
    return 0;
}

} // namespace

std::uint64_t OpenSlot(Salt salt, const Slot &slot, const Unlock &unlock, Key32 &root)
{
    std::array<std::uint8_t, 32> digest{};
    if (const std::uint64_t rc = CacheKey(slot, unlock, digest); rc != 0) {
        return rc;
    }
    return OpenSlotWith(salt, slot, unlock, digest, root);
}

std::uint64_t OpenRoot(Salt salt, const std::vector<Slot> &slots, const Unlock &unlock, Key32 &root,
                       std::uint8_t &openedId)
{
    std::uint64_t firstFailure = 0;
    bool passphraseRefused = false;
    std::vector<std::array<std::uint8_t, 32>> digests;
    digests.reserve(slots.size());
    bool opened = false;
    for (const Slot &slot : slots) {
        std::array<std::uint8_t, 32> digest{};
        std::uint64_t rc = CacheKey(slot, unlock, digest);
        if (rc == 0) {
            digests.push_back(digest);
            rc = opened ? 0 : OpenSlotWith(salt, slot, unlock, digest, root);
            if (rc == 0 && !opened) {
                opened = true;
                openedId = slot.id;
            }
        }
        if (rc == QINT_ERR_WRONG_PASSPHRASE) {
            passphraseRefused = true;
        } else if (rc != 0 && firstFailure == 0 && rc != QINT_ERR_NO_PASSPHRASE) {
            firstFailure = rc;
        }
    }
    if (opened) {
        KeepCachedSlots(digests); // a slot that changed leaves no secret behind
        return 0;
    }
    if (passphraseRefused) {
        return QINT_ERR_WRONG_PASSPHRASE;
    }
    if (firstFailure != 0) {
        return firstFailure;
    }
    return slots.empty() ? QINT_ERR_NO_SLOT_OPENS : QINT_ERR_NO_PASSPHRASE;
}

std::uint64_t MakeSlot(const Callbacks &cb, std::uint8_t type, std::uint8_t id, Salt salt, const Key32 &root,
                       const Unlock &unlock, Slot &out)
{
    out = Slot();
    out.type = type;
    out.id = id;
    if (UsesHostKey(type)) {
        bool created = false;
        if (const std::uint64_t rc = EnsureHostKey(cb, unlock.hostKeyPath, created); rc != 0) {
            return rc;
        }
    }
    Key32 secret;
    if (IsTpm(type)) {
        std::vector<std::uint8_t> blob;
        if (!cb.Random(secret.span())) {
            return QINT_ERR_RANDOM;
        }
        if (const std::uint64_t rc = FromTpm(tpm2::Seal(secret.span(), unlock.pcrMask, blob)); rc != 0) {
            return rc;
        }
        ByteWriter w(out.params);
        w.U32(unlock.pcrMask);
        w.Bytes(blob);
    } else if (type == QINT_PROTECT_RECOVERY) {
        if (!unlock.hasPassphrase) {
            return QINT_ERR_NO_PASSPHRASE;
        }
        ScryptParams p;
        p.log2N = unlock.scryptLog2N;
        if (!cb.Random(p.salt)) {
            return QINT_ERR_RANDOM;
        }
        out.params = EncodeScryptParams(p);
        if (!Scrypt(unlock.passphrase, p, secret)) {
            return QINT_ERR_CRYPTO;
        }
    } else if (type == QINT_PROTECT_PKCS11 || type == QINT_PROTECT_SEALED_FOR) {
        if (type == QINT_PROTECT_SEALED_FOR && !unlock.hasRecipient) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        if (!cb.Random(secret.span())) {
            return QINT_ERR_RANDOM;
        }
        const std::uint64_t rc = type == QINT_PROTECT_PKCS11
                                     ? MakePkcs11Params(unlock, salt, id, secret, out.params)
                                     : MakeSealedForParams(unlock.recipient, salt, id, secret, out.params);
        if (rc != 0) {
            return rc;
        }
    } else if (type != QINT_PROTECT_HOST) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (out.params.size() > kMaxSlotParams) {
        return QINT_ERR_BAD_CONTENT;
    }
    Key32 hostKey;
    if (UsesHostKey(type)) {
        if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
            return rc;
        }
    }
    Key32 slotKey;
    if (const std::uint64_t rc = KeyFromSecrets(type, salt, hostKey, secret, slotKey); rc != 0) {
        return rc;
    }
    if (!cb.Random(out.nonce)) {
        return QINT_ERR_RANDOM;
    }
    const auto aad = SlotAad(salt, out);
    Gcm gcm;
    if (!gcm.SealOnce(slotKey.span(), out.nonce, aad, root.span(), out.sealed.data(), out.tag)) {
        return QINT_ERR_CRYPTO;
    }
    std::array<std::uint8_t, 32> digest{};
    if (CacheKey(out, unlock, digest) == 0) {
        CacheSlotSecret(digest, type == QINT_PROTECT_HOST ? slotKey : secret);
    }
    return 0;
}

} // namespace zorv
