// The sealed-for slot type: a random 32-byte slot secret sealed for one
// host's X25519 identity (see sealed_for.h); the parameters are the sealed
// blob. The seal binds the store salt and the slot's type and id; the slot's
// own GCM binds all of its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/sealed_for/sealed_for.h"
#include "protect/settings.h"
#include "protect/slot.h"

namespace zorv {

// The QINT_ERR_ code of a sealing status.
std::uint64_t FromSealed(sealed::Status status);

// The slot-type functions (protect/slot_types.h). Open recovers the slot
// secret with this host's key file (QINT_ERR_HOST_KEY_MISSING,
// _SEALED_NOT_THIS_HOST, _SEALED_TAMPERED, ...). Make seals a random secret
// for the settings' recipient (QINT_ERR_BAD_ARGUMENT without one).
std::uint64_t OpenSealedForSecret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret);
std::uint64_t MakeSealedForSecret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret);

// This host's identity line, from the host key file of the settings.
std::uint64_t HostIdText(const Unlock &unlock, std::string &text);

} // namespace zorv
