// The key-store file format (little-endian).
//
// Version 3:
//   offset size
//   0      4    magic "ZVKS"
//   4      2    format version (3)
//   6      2    flags (0)
//   8      8    update counter, incremented by every write
//   16     8    creation time, seconds since the epoch (UTC)
//   24     8    update time
//   32     32   salt (random per store)
//   64     4    number of key entries n
//   68     1    number of protector slots m (1..8)
//   69     3    zero
//   72     16   store id: random, fixed when the store is created and kept
//               by every later write (the copies of one store, its backups
//               and its exports share it; the MAC binds it to the root key)
//   88     ...  m protector slots, each holding the root key (protect/slot.h)
//   then   88n  entries: domain (4), key id (4), state (1: active, 2:
//               retired, 3: disabled), 3 zero bytes, creation time (8), time
//               of the last state change (8, 0: none), nonce (12), wrapped
//               key (32), tag
//               (16) -- the key sealed with AES-256-GCM under the wrapping
//               key, domain and key id as associated data
//   then   32   HMAC-SHA256 under the file MAC key over every byte before it
//
// Version 2 is the same without the store id (slots at 72) and without the
// state change time (entries of 80 bytes). Version 1 is version 2 without
// the slot count and the slots (entries at 68); its root key comes from the
// built-in derivation. Both are read, never written: the next write of a
// version-2 store gives it a fresh store id.
//
// Loading runs in four steps, each on the result of the one before: parse
// the header and the slots (nothing is trusted yet), open the root key
// through a slot, verify the file MAC under the root's MAC key, parse the key
// index. A file is used only when every check passes: magic, version, exact
// length, a slot that opens, MAC, every key unwrapped, and a consistent key
// table (known domains, unique key ids, exactly one active key for each of
// the 37 domains, disabled keys only in version 3).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "callbacks.h"
#include "key_derivation.h"
#include "protect/settings.h"
#include "store_image.h"

namespace zorv {

constexpr std::size_t kStoreHeaderSizeV1 = 68;
constexpr std::size_t kStoreHeaderSizeV2 = 72;
constexpr std::size_t kStoreHeaderSize = 88;
constexpr std::size_t kStoreEntrySizeV2 = 80;
constexpr std::size_t kStoreEntrySize = 88;
constexpr std::size_t kStoreMacSize = 32;
constexpr std::uint32_t kMaxStoreEntries = 65536;

// Step 1. Fills the image's header fields and slots, and entriesAt/count.
// 0, or QINT_ERR_BAD_MAGIC, _UNSUPPORTED_VERSION, _BAD_LENGTH (also for
// slots that do not parse), _NO_MEMORY.
struct StoreLayout {
    std::uint16_t flags = 0;
    std::uint32_t count = 0;
    std::size_t entriesAt = 0;
    std::size_t entrySize = kStoreEntrySize;
};
std::uint64_t ParseStoreHeader(std::span<const std::uint8_t> file, StoreImage &out, StoreLayout &layout);

// Step 2. The root key of a parsed image (image.root, image.openedSlot);
// 0 or the protector's cause (protect/protector.h).
std::uint64_t OpenStoreRoot(StoreImage &image, const Unlock &unlock);

// Step 3. 0 and the file keys, or QINT_ERR_BAD_MAC, _CRYPTO.
std::uint64_t VerifyStoreMac(std::span<const std::uint8_t> file, const Key32 &root, FileKeys &keys);

// Step 4. The key entries into image.keys. 0, QINT_ERR_BAD_CONTENT, _BAD_LENGTH.
std::uint64_t ParseKeyIndex(std::span<const std::uint8_t> file, const StoreLayout &layout, StoreImage &image);

// All four steps. out is complete only on 0 (on failure it keeps no keys).
// With unwrap every key is unwrapped too (its failure: _BAD_CONTENT);
// without, out keeps the wrapped keys and the wrapping key for UnwrapKey on
// first use -- the MAC has vouched for every byte already, so only a forger
// holding the MAC key could make that fail.
std::uint64_t DecodeStore(std::span<const std::uint8_t> file, const Unlock &unlock, StoreImage &out,
                          bool unwrap = true);

class Gcm;
// Unwraps k.wrapped into k.key with gcm keyed by the wrapping key.
bool UnwrapKey(Gcm &gcm, KeyRecord &k);

// Serialises an image with slots (its slots, root key and store id) as
// version 3 with fresh wrapping nonces from cb. 0, or QINT_ERR_BUILTIN_ONLY
// (a version-1 image), QINT_ERR_BAD_ARGUMENT (no store id),
// QINT_ERR_BAD_CONTENT (inconsistent table, no or too many slots),
// _RANDOM, _CRYPTO, _NO_MEMORY.
std::uint64_t EncodeStore(const Callbacks &cb, const StoreImage &image, SecretBytes &out);

// The table rules every stored image obeys. 0 or QINT_ERR_BAD_CONTENT.
std::uint64_t CheckKeyTable(const StoreImage &image);

// Update counter of a file whose header at least parses (for reports).
bool PeekCounter(std::span<const std::uint8_t> file, std::uint64_t &counter);

} // namespace zorv
