// Slot secrets this process has opened (a host slot's key, a TPM's unsealed
// secret, a passphrase's derived key), so that a store loaded for every
// request asks the TPM, runs the passphrase derivation or reads the host key
// file once per process and slot.
//
// Entries are keyed by the SHA-256 of the slot's bytes (with the passphrase,
// or the host key file's identity: protect/protector.cpp) and live in one page
// that is locked in memory (mlock), left out of core dumps (MADV_DONTDUMP)
// and wiped in a forked child (MADV_WIPEONFORK). An entry is wiped when a
// store is opened whose slots no longer include it, and all are wiped at
// exit.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "crypto/secret.h"

namespace zorv {

using SlotDigestBytes = std::span<const std::uint8_t, 32>;

// True and the secret when digest is cached.
bool CachedSlotSecret(SlotDigestBytes digest, Key32 &secret);

// Keeps secret under digest (replacing the oldest entry when full). Does
// nothing when the locked page could not be set up.
void CacheSlotSecret(SlotDigestBytes digest, const Key32 &secret);

// Wipes every entry whose digest is not among keep.
void KeepCachedSlots(std::span<const std::array<std::uint8_t, 32>> keep);

} // namespace zorv
