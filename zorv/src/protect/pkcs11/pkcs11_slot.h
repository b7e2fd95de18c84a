// The pkcs11 slot type: a random 32-byte slot secret wrapped under an AES key
// on a PKCS#11 token. The slot's parameters are
//   2  length u, then u bytes: the token key's PKCS#11 URI (pin-source included)
//   2  length m, then m bytes: the module's absolute path
//   rest: the wrapped secret (see pkcs11_token.h)
// The token binds the store salt, the slot's type and id, the URI and the
// module as associated data; the slot's own GCM binds all of its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/pkcs11/pkcs11_status.h"
#include "protect/settings.h"
#include "protect/slot.h"

namespace zorv {

struct Pkcs11SlotParams {
    std::string uri;
    std::string module;
    std::vector<std::uint8_t> blob;
};

bool ParsePkcs11Params(std::span<const std::uint8_t> params, Pkcs11SlotParams &out);

// The QINT_ERR_ code of a token status.
std::uint64_t FromPkcs11(pkcs11::Status status);

// The slot-type functions (protect/slot_types.h). Open unwraps the slot
// secret through the token the parameters name, with the settings' PIN or
// else the URI's pin-source. Make wraps a random secret under the token key
// named by the settings (generating it first when asked). Describe shows the
// token key's URI and module. 0 or the cause.
std::uint64_t OpenPkcs11Secret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret);
std::uint64_t MakePkcs11Secret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret);
void DescribePkcs11Slot(const Slot &slot, QintSlotInfo &info);

} // namespace zorv
