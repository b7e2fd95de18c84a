// Opening and making protector slots, for every type through its row in
// protect/slot_types.h: where each type's slot key comes from.
//
//   host       HKDF(store salt, host key)
//   tpm2       HKDF(store salt, secret sealed to this host's TPM)
//   host+tpm2  HKDF(store salt, host key || secret sealed to the TPM)
//   recovery   scrypt(passphrase, slot salt, N, r, p)
//   pkcs11     HKDF(store salt, secret wrapped by a token key)
//   sealed-for HKDF(store salt, secret sealed for one host's identity)
//
// What each type costs most is kept in the per-process slot cache once a
// slot opened with it: the host slot's key (keyed with the host key file's
// identity, so a later load makes one lstat instead of reading the file and
// deriving), the TPM's secret, the passphrase's key.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/settings.h"
#include "protect/slot.h"

namespace zorv {

// Opens one slot: 0 and root; else why it does not open here (a slot of a
// type that opens only in import, sealed-for, opens only with
// unlock.importOnly, and then nothing else does: QINT_ERR_IMPORT_ONLY,
// _NOT_THIS_HOST);
// QINT_ERR_HOST_KEY_MISSING / _HOST_KEY_BAD (host key file), _NO_SLOT_OPENS
// (wrong host key or TPM secret), _WRONG_PASSPHRASE, _NO_PASSPHRASE (a
// recovery slot and none given), _TPM_UNREACHABLE, _TPM_NOT_THIS,
// _TPM_PCR_CHANGED, _TPM, _BAD_CONTENT (malformed parameters), _CRYPTO.
std::uint64_t OpenSlot(Salt salt, const Slot &slot, const Unlock &unlock, Key32 &root);

// Opens the first slot that opens here (in file order): with
// unlock.importOnly only sealed-for slots are tried, otherwise every slot
// but those. 0, root and the slot's id; else the most telling cause:
// _WRONG_PASSPHRASE when a passphrase was given and every recovery slot
// refused it, otherwise the first failure of a slot that was tried, or
// _NO_PASSPHRASE; with no slot to try, _NOT_THIS_HOST (import),
// _IMPORT_ONLY (only sealed-for slots) or _NO_SLOT_OPENS.
// After success the slot cache keeps only this store's entries.
std::uint64_t OpenRoot(Salt salt, const std::vector<Slot> &slots, const Unlock &unlock, Key32 &root,
                       std::uint8_t &openedId);

// Seals newRoot into slot in place of oldRoot, under the slot key it has
// now (same type, id, parameters and secret; a fresh nonce). The slot must
// open here to oldRoot first: 0, or why it does not (as OpenSlot;
// _WRONG_PASSPHRASE and _NO_SLOT_OPENS also for a slot holding another root
// key), _RANDOM, _CRYPTO.
std::uint64_t ResealSlot(const Callbacks &cb, Salt salt, Slot &slot, const Key32 &oldRoot, const Key32 &newRoot,
                         const Unlock &unlock);

// Makes a slot of type with id that seals root. Host types create the host
// key file when it is missing; recovery needs the passphrase
// (QINT_ERR_NO_PASSPHRASE). 0 or the cause (QINT_ERR_RANDOM, _TPM_*, ...).
std::uint64_t MakeSlot(const Callbacks &cb, std::uint8_t type, std::uint8_t id, Salt salt, const Key32 &root,
                       const Unlock &unlock, Slot &out);

} // namespace zorv
