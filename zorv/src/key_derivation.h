// The key hierarchy. A root key comes from a component built into the
// library and the file's salt (HKDF-SHA256); the wrapping key and the file
// MAC key come from the root key under distinct labels; each domain key
// yields an encryption key and an HMAC key under distinct labels.
#pragma once

#include <cstdint>
#include <span>

#include "crypto/hmac.h"
#include "crypto/secret.h"

namespace zorv {

struct FileKeys {
    Key32 wrap;
    Key32 mac;
};

// Wrapping and file-MAC keys of a store with this salt.
bool DeriveFileKeys(std::span<const std::uint8_t, 32> salt, FileKeys &out);

// Encryption and HMAC keys of one domain key; hmac is reused across calls.
bool DeriveDataKeys(Hmac &hmac, const Key32 &domainKey, Key32 &encKey, Key32 &hmacKey);

} // namespace zorv
