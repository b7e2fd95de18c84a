// The sealed-for slot type: a random 32-byte slot secret sealed for one
// host's X25519 identity (see sealed_for.h); the parameters are the sealed
// blob. The seal binds the store salt and the slot's type and id; the slot's
// own GCM binds all of its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "crypto/secret.h"
#include "protect/sealed_for/sealed_for.h"
#include "protect/settings.h"

namespace zorv {

// The QINT_ERR_ code of a sealing status.
std::uint64_t FromSealed(sealed::Status status);

// Seals secret for recipient into params. 0 or the cause.
std::uint64_t MakeSealedForParams(const sealed::PublicKey &recipient, std::span<const std::uint8_t, 32> salt,
                                  std::uint8_t id, const Key32 &secret, std::vector<std::uint8_t> &params);

// Opens the slot secret with this host's key file. 0 or the cause
// (QINT_ERR_HOST_KEY_MISSING, _SEALED_NOT_THIS_HOST, _SEALED_TAMPERED, ...).
std::uint64_t OpenSealedForSecret(std::span<const std::uint8_t> params, const Unlock &unlock,
                                  std::span<const std::uint8_t, 32> salt, std::uint8_t id, Key32 &secret);

// This host's identity line, from the host key file of the settings.
std::uint64_t HostIdText(const Unlock &unlock, std::string &text);

} // namespace zorv
