// The key hierarchy. Each store has a root key: random and held in the
// file's protector slots (format 2), or, in a format-1 store, derived from a
// component built into the library and the file's salt. The wrapping key and
// the file MAC key come from the root key under distinct labels; each domain
// key yields an encryption key and an HMAC key under distinct labels.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/hmac.h"
#include "crypto/secret.h"

namespace zorv {

struct FileKeys {
    Key32 wrap;
    Key32 mac;
};

// Root key of a format-1 store with this salt (the built-in derivation).
bool DeriveBuiltinRoot(std::span<const std::uint8_t, 32> salt, Key32 &root);

// Wrapping and file-MAC keys under a root key.
bool DeriveFileKeys(const Key32 &root, FileKeys &out);

// A slot key: HKDF-SHA256 with the store's salt over the concatenated
// secrets, expanded under label.
bool DeriveSlotKey(std::string_view label, std::span<const std::uint8_t, 32> salt,
                   std::span<const std::span<const std::uint8_t>> secrets, Key32 &out);

// Encryption and HMAC keys of one domain key; hmac is reused across calls.
bool DeriveDataKeys(Hmac &hmac, const Key32 &domainKey, Key32 &encKey, Key32 &hmacKey);

} // namespace zorv
