// The recovery slot type: the slot key is derived from a passphrase with
// scrypt. The slot's parameters are
//   1  log2 N, 4  r, 4  p, 16  salt
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/settings.h"
#include "protect/slot.h"

namespace zorv {

struct ScryptParams {
    std::uint8_t log2N = 17;
    std::uint32_t r = 8;
    std::uint32_t p = 1;
    std::array<std::uint8_t, 16> salt{};
};
bool ParseScryptParams(const Slot &s, ScryptParams &out);
std::vector<std::uint8_t> EncodeScryptParams(const ScryptParams &p);

// The slot-type functions (protect/slot_types.h): the passphrase's key from
// the slot's parameters, and new parameters (random salt, the settings'
// cost) with their key. QINT_ERR_NO_PASSPHRASE when none was given.
std::uint64_t OpenRecoverySecret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret);
std::uint64_t MakeRecoverySecret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret);

} // namespace zorv
