// The key-store file format (little-endian, version 1):
//
//   offset size
//   0      4    magic "ZVKS"
//   4      2    format version (1)
//   6      2    flags (0)
//   8      8    update counter, incremented by every write
//   16     8    creation time, seconds since the epoch (UTC)
//   24     8    update time
//   32     32   salt (random per store)
//   64     4    number of key entries n
//   68     80n  entries: domain (4), key id (4), state (1: active, 2: retired),
//               3 zero bytes, creation time (8), nonce (12), wrapped key
//               (32), tag (16) -- the key sealed with AES-256-GCM under the
//               wrapping key, domain and key id as associated data
//   68+80n 32   HMAC-SHA256 under the file MAC key over every byte before it
//
// A file is used only when every check passes: magic, version, exact
// length, MAC, every key unwrapped, and a consistent key table (known
// domains, unique key ids, exactly one active key for each of the 37
// domains).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "callbacks.h"
#include "store_image.h"

namespace zorv {

constexpr std::uint16_t kStoreVersion = 1;
constexpr std::size_t kStoreHeaderSize = 68;
constexpr std::size_t kStoreEntrySize = 80;
constexpr std::size_t kStoreMacSize = 32;
constexpr std::uint32_t kMaxStoreEntries = 65536;

// 0, or QINT_ERR_BAD_MAGIC, _UNSUPPORTED_VERSION, _BAD_LENGTH, _BAD_MAC,
// _BAD_CONTENT, _CRYPTO, _NO_MEMORY. out is complete only on 0. With unwrap
// every key is unwrapped too (its failure: _BAD_CONTENT); without, out keeps
// the wrapped keys and the wrapping key for UnwrapKey on first use -- the
// MAC has vouched for every byte already, so only a forger holding the
// MAC key could make that fail.
std::uint64_t DecodeStore(std::span<const std::uint8_t> file, StoreImage &out, bool unwrap = true);

class Gcm;
// Unwraps k.wrapped into k.key with gcm keyed by the wrapping key.
bool UnwrapKey(Gcm &gcm, KeyRecord &k);

// Serialises image with fresh wrapping nonces from cb. 0, or
// QINT_ERR_BAD_CONTENT (inconsistent table), _RANDOM, _CRYPTO, _NO_MEMORY.
std::uint64_t EncodeStore(const Callbacks &cb, const StoreImage &image, std::vector<std::uint8_t> &out);

// The table rules every stored image obeys. 0 or QINT_ERR_BAD_CONTENT.
std::uint64_t CheckKeyTable(const StoreImage &image);

// Update counter of a file whose header at least parses (for reports).
bool PeekCounter(std::span<const std::uint8_t> file, std::uint64_t &counter);

} // namespace zorv
