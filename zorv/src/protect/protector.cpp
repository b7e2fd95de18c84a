#include "protect/protector.h"

#include <sys/stat.h>

#include <openssl/crypto.h>

#include <array>
#include <cerrno>

#include "crypto/gcm.h"
#include "key_derivation.h"
#include "protect/host/host_key.h"
#include "protect/slot_cache.h"
#include "protect/slot_types.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

using Bytes = std::span<const std::uint8_t>;

// A cached value that came through the host key file is bound to that file:
// the host slot's key, a sealed-for secret. A type that reads the file at
// every open anyway (host key and a secret of its own in the key) is not.
bool CacheBindsHostKeyFile(const SlotType &t)
{
    return t.needs(QINT_NEEDS_HOST_KEY) && !(t.hostKeyInKey && t.open != nullptr);
}

// Cache key of a slot: the SHA-256 of its bytes and of what else its secret
// depends on. A recovery slot's includes the passphrase, so a cached key
// never stands in for another passphrase; a host slot's includes the host
// key file's path and identity (device, inode, size, times, mode, owner),
// so a file that was removed, replaced or opened up is read and checked
// again. 0, or why the slot cannot be tried (QINT_ERR_HOST_KEY_MISSING,
// _HOST_KEY_BAD, _NO_PASSPHRASE, _CRYPTO).
std::uint64_t CacheKey(const SlotType &t, const Slot &slot, const Unlock &unlock,
                       std::array<std::uint8_t, 32> &digest)
{
    SecretBytes extra;
    if (t.needs(QINT_NEEDS_PASSPHRASE)) {
        if (!unlock.hasPassphrase) {
            return QINT_ERR_NO_PASSPHRASE;
        }
        extra = unlock.passphrase;
    } else if (CacheBindsHostKeyFile(t)) {
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

// The slot key from the host key (when the type takes it) and the type's
// own secret (when it has one).
std::uint64_t KeyFromSecrets(const SlotType &t, Salt salt, const Key32 &hostKey, const Key32 &secret,
                             Key32 &slotKey)
{
    if (t.label.empty()) {
        slotKey = secret;
        return 0;
    }
    Bytes parts[2];
    std::size_t n = 0;
    if (t.hostKeyInKey) {
        parts[n++] = hostKey.span();
    }
    if (t.open != nullptr) {
        parts[n++] = secret.span();
    }
    return DeriveSlotKey(t.label, salt, std::span(parts, n), slotKey) ? 0 : QINT_ERR_CRYPTO;
}

// The slot key of slot, digest being its cache key. secret is what goes
// into the cache: the type's own secret, or (no secret of its own) the slot
// key.
std::uint64_t SlotKey(const SlotType &t, Salt salt, const Slot &slot, const Unlock &unlock, SlotDigestBytes digest,
                      Key32 &slotKey, Key32 &secret, bool &fromCache)
{
    fromCache = CachedSlotSecret(digest, secret);
    if (t.open == nullptr && fromCache) {
        slotKey = secret;
        return 0;
    }
    Key32 hostKey;
    if (t.hostKeyInKey) {
        if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
            return rc;
        }
    }
    if (t.open != nullptr) {
        if (const std::uint64_t rc = t.open(salt, slot, unlock, fromCache, secret); rc != 0) {
            return rc;
        }
    }
    const std::uint64_t rc = KeyFromSecrets(t, salt, hostKey, secret, slotKey);
    if (t.open == nullptr) {
        secret = slotKey;
    }
    return rc;
}

std::uint64_t OpenSlotWith(const SlotType &t, Salt salt, const Slot &slot, const Unlock &unlock,
                           SlotDigestBytes digest, Key32 &root)
{
    Key32 slotKey;
    Key32 secret;
    bool fromCache = false;
    if (const std::uint64_t rc = SlotKey(t, salt, slot, unlock, digest, slotKey, secret, fromCache); rc != 0) {
        return rc;
    }
    const auto aad = SlotAad(salt, slot);
    Gcm gcm;
    if (!gcm.OpenOnce(slotKey.span(), slot.nonce, aad, slot.sealed, root.data(), slot.tag)) {
        root = Key32();
        return t.needs(QINT_NEEDS_PASSPHRASE) ? QINT_ERR_WRONG_PASSPHRASE : QINT_ERR_NO_SLOT_OPENS;
    }
    if (!fromCache) {
        CacheSlotSecret(digest, secret);
    }
    return 0;
}

// The row of a type that can be in a store file; null for any other code.
const SlotType *WrittenType(std::uint32_t code)
{
    const SlotType *t = FindSlotType(code);
    return t != nullptr && t->is(QINT_SLOT_WRITTEN) ? t : nullptr;
}

} // namespace

std::uint64_t OpenSlot(Salt salt, const Slot &slot, const Unlock &unlock, Key32 &root)
{
    const SlotType *t = WrittenType(slot.type);
    if (t == nullptr) {
        return QINT_ERR_BAD_CONTENT;
    }
    if (t->importOnly != unlock.importOnly) {
        return unlock.importOnly ? QINT_ERR_NOT_THIS_HOST : QINT_ERR_IMPORT_ONLY;
    }
    std::array<std::uint8_t, 32> digest{};
    if (const std::uint64_t rc = CacheKey(*t, slot, unlock, digest); rc != 0) {
        return rc;
    }
    return OpenSlotWith(*t, salt, slot, unlock, digest, root);
}

std::uint64_t OpenRoot(Salt salt, const std::vector<Slot> &slots, const Unlock &unlock, Key32 &root,
                       std::uint8_t &openedId)
{
    std::uint64_t firstFailure = 0;
    bool passphraseRefused = false;
    std::vector<std::array<std::uint8_t, 32>> digests;
    digests.reserve(slots.size());
    bool opened = false;
    std::size_t tried = 0;
    for (const Slot &slot : slots) {
        const SlotType *t = WrittenType(slot.type);
        // A carried copy is opened through its sealed-for slot during import
        // and through nothing else; no other load tries that slot.
        if ((t != nullptr && t->importOnly) != unlock.importOnly) {
            continue;
        }
        ++tried;
        std::array<std::uint8_t, 32> digest{};
        std::uint64_t rc = t != nullptr ? CacheKey(*t, slot, unlock, digest) : QINT_ERR_BAD_CONTENT;
        if (rc == 0) {
            digests.push_back(digest);
            rc = opened ? 0 : OpenSlotWith(*t, salt, slot, unlock, digest, root);
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
    if (tried == 0) {
        return unlock.importOnly ? QINT_ERR_NOT_THIS_HOST : slots.empty() ? QINT_ERR_NO_SLOT_OPENS
                                                                          : QINT_ERR_IMPORT_ONLY;
    }
    return QINT_ERR_NO_PASSPHRASE;
}

std::uint64_t ResealSlot(const Callbacks &cb, Salt salt, Slot &slot, const Key32 &oldRoot, const Key32 &newRoot,
                         const Unlock &unlock)
{
    const SlotType *t = WrittenType(slot.type);
    if (t == nullptr || t->importOnly) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    std::array<std::uint8_t, 32> digest{};
    if (const std::uint64_t rc = CacheKey(*t, slot, unlock, digest); rc != 0) {
        return rc;
    }
    Key32 slotKey;
    Key32 secret;
    bool fromCache = false;
    if (const std::uint64_t rc = SlotKey(*t, salt, slot, unlock, digest, slotKey, secret, fromCache); rc != 0) {
        return rc;
    }
    // The nonce is not part of the associated data: it stays the same.
    const auto aad = SlotAad(salt, slot);
    Key32 root;
    Gcm open;
    if (!open.OpenOnce(slotKey.span(), slot.nonce, aad, slot.sealed, root.data(), slot.tag) ||
        CRYPTO_memcmp(root.data(), oldRoot.data(), root.size()) != 0) {
        return t->needs(QINT_NEEDS_PASSPHRASE) ? QINT_ERR_WRONG_PASSPHRASE : QINT_ERR_NO_SLOT_OPENS;
    }
    if (!cb.Random(slot.nonce)) {
        return QINT_ERR_RANDOM;
    }
    Gcm seal;
    if (!seal.SealOnce(slotKey.span(), slot.nonce, aad, newRoot.span(), slot.sealed.data(), slot.tag)) {
        return QINT_ERR_CRYPTO;
    }
    if (CacheKey(*t, slot, unlock, digest) == 0) {
        CacheSlotSecret(digest, secret);
    }
    return 0;
}

std::uint64_t MakeSlot(const Callbacks &cb, std::uint8_t type, std::uint8_t id, Salt salt, const Key32 &root,
                       const Unlock &unlock, Slot &out)
{
    out = Slot();
    out.type = type;
    out.id = id;
    const SlotType *t = WrittenType(type);
    if (t == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (t->hostKeyInKey) {
        bool created = false;
        if (const std::uint64_t rc = EnsureHostKey(cb, unlock.hostKeyPath, created); rc != 0) {
            return rc;
        }
    }
    Key32 secret;
    if (t->make != nullptr) {
        if (const std::uint64_t rc = t->make(cb, salt, unlock, out, secret); rc != 0) {
            return rc;
        }
    }
    if (out.params.size() > kMaxSlotParams) {
        return QINT_ERR_BAD_CONTENT;
    }
    Key32 hostKey;
    if (t->hostKeyInKey) {
        if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
            return rc;
        }
    }
    Key32 slotKey;
    if (const std::uint64_t rc = KeyFromSecrets(*t, salt, hostKey, secret, slotKey); rc != 0) {
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
    if (CacheKey(*t, out, unlock, digest) == 0) {
        CacheSlotSecret(digest, t->open == nullptr ? slotKey : secret);
    }
    return 0;
}

} // namespace zorv
