// The loaded keys as the data-protection calls use them, in two layers:
//
// - KeyIndex: what one verified store file says, every key still wrapped,
//   grouped by domain. Immutable once built, so the tables of successive
//   loads of an unchanged pair may share one (image_cache.h).
// - QintKeyTable: one load. It points at an index and keeps the keys that
//   were used during this load: a key is unwrapped and its encryption and
//   HMAC keys derived on its first use, kept for the rest of the load, and
//   wiped when the last holder of the table lets go (finalise or the swap of
//   a reload). Unwrapped keys therefore never outlive their load, and a load
//   costs nothing for the keys nobody uses.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "crypto/gcm.h"
#include "domains.h"
#include "dumpless_block.h"
#include "store_image.h"
#include "zorv_keys.h"

namespace zorv {

struct KeyIndex {
    struct Entry {
        Entry() = default;
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;
        ~Entry(); // wipes the wrapped key with its nonce and tag

        std::uint32_t domain = 0;
        std::uint32_t keyId = 0;
        bool disabled = false; // refused by every look-up
        std::array<std::uint8_t, 12> nonce{};
        std::array<std::uint8_t, 32> wrapped{};
        std::array<std::uint8_t, 16> tag{};
    };
    struct Range {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
        std::uint32_t active = 0; // index into keys
    };

    KeyIndex() = default;
    ~KeyIndex(); // ends the entries; the block wipes itself
    KeyIndex(const KeyIndex &) = delete;
    KeyIndex &operator=(const KeyIndex &) = delete;

    std::uint64_t counter = 0;
    // The wrapping key and the entries live in one block kept out of core
    // images: a cached index outlives the request that loaded it.
    DumplessBlock storage;
    Key32 *wrapKey = nullptr;
    Entry *keys = nullptr; // grouped by domain, ascending key id
    std::uint32_t keyCount = 0;
    std::array<Range, kDomainIds.size()> domains{};
};

// Builds the index of a checked image (wrapped keys and wrapping key). Null
// when memory runs out.
std::shared_ptr<const KeyIndex> BuildKeyIndex(const StoreImage &image);

} // namespace zorv

struct QintKeyTable {
    // One used key of this load: its derived keys, wiped with it.
    struct Unwrapped {
        Unwrapped(std::uint32_t i, Unwrapped *n);
        ~Unwrapped();
        Unwrapped(const Unwrapped &) = delete;
        Unwrapped &operator=(const Unwrapped &) = delete;

        std::uint32_t index; // into the index's keys
        zorv::Key32 enc;
        zorv::Key32 hmac;
        Unwrapped *next; // the domain's list, newest first
    };

    explicit QintKeyTable(std::shared_ptr<const zorv::KeyIndex> i) : index(std::move(i)) {}
    ~QintKeyTable();
    QintKeyTable(const QintKeyTable &) = delete;
    QintKeyTable &operator=(const QintKeyTable &) = delete;

    mutable std::atomic<std::uint32_t> refs{1};
    const std::shared_ptr<const zorv::KeyIndex> index;
    // Per domain, the keys used so far. Pushed at the head under
    // deriveMutex (release), read without a lock (acquire); an entry stays
    // until the table is freed.
    mutable std::array<std::atomic<Unwrapped *>, zorv::kDomainIds.size()> used{};
    mutable std::mutex deriveMutex; // serialises first uses only
    // Opens this load's wrapped keys: keyed with the wrapping key on the
    // first use, under deriveMutex, and freed (wiped) with the table, so no
    // key schedule outlives the load.
    mutable zorv::Gcm unwrapper;
    mutable bool unwrapperKeyed = false;
};

namespace zorv {

// A table for one load over index. Null when memory runs out.
QintKeyTable *NewKeyTable(std::shared_ptr<const KeyIndex> index);

// The derived keys of index entry i (of domain slot d), unwrapping and
// deriving them on first use. Null when the key would not unwrap (only a
// forger holding the file MAC key could make it so) or memory ran out.
const QintKeyTable::Unwrapped *ReadyKey(const QintKeyTable &table, std::size_t d, std::uint32_t i);

void RetainKeyTable(const QintKeyTable *table);
void ReleaseKeyTable(const QintKeyTable *table);

// Whether some domain's active key id differs between the two indexes.
bool ActiveKeysDiffer(const KeyIndex &a, const KeyIndex &b);

// Unwrapped keys alive in this process, over all tables (for tests: zero
// once every table is released).
std::size_t LiveUnwrappedKeys();

} // namespace zorv
