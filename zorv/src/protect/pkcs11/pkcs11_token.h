// Wrapping a 32-byte secret under an AES-256 key that never leaves a PKCS#11
// token.
//
// The key is named by a PKCS#11 URI (token label, key label) and the path of
// the module that speaks to the token. Each call takes the module's instance
// in this process (loaded and initialised once, see pkcs11_module.h), opens a
// session on the token, logs in with the PIN when one is given, does its one
// operation and logs out and closes the session on every path. Callers that
// open the same blob repeatedly keep the result (the slot-key cache), so a
// serving process asks the token once.
//
// The wrapped form ("blob") starts with one byte naming the mechanism:
//   1: CKM_AES_GCM      random 12-byte IV | cipher (32) | tag (16); the
//                       caller's associated data is authenticated by the token
//   2: CKM_AES_KEY_WRAP_PAD  wrapped key (40); for tokens without GCM. The
//                       token cannot bind associated data here: the caller's
//                       own layer must (the slot's GCM over its header does).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protect/pkcs11/pkcs11_status.h"
#include "protect/pkcs11/pkcs11_uri.h"

namespace zorv::pkcs11 {

enum class Mechanism : std::uint8_t {
    automatic = 0,  // GCM when the token offers it for encrypt and decrypt, else key wrap with padding
    gcm = 1,
    keyWrapPad = 2,
};

// Where the key lives: the module's absolute path and the parsed URI.
struct KeyRef {
    std::string module;
    Uri uri;
};

// Makes the AES-256 key named by the URI on the token unless it exists
// (sensitive, not extractable, a token object, for encrypt, decrypt, wrap and
// unwrap only). created tells which happened.
Status GenerateKey(const KeyRef &key, std::span<const std::uint8_t> pin, bool &created);

// Wraps secret under the token key; blob receives the wrapped form.
Status Wrap(const KeyRef &key, std::span<const std::uint8_t> pin, std::span<const std::uint8_t, 32> secret,
            std::span<const std::uint8_t> aad, Mechanism mechanism, std::vector<std::uint8_t> &blob);

// Unwraps a blob made by Wrap with the same associated data into secret
// (left zeroed on failure).
Status Unwrap(const KeyRef &key, std::span<const std::uint8_t> pin, std::span<const std::uint8_t> blob,
              std::span<const std::uint8_t> aad, std::span<std::uint8_t, 32> secret);

} // namespace zorv::pkcs11
