// A key store as held in memory between parsing and writing: the plain
// domain keys with their metadata, the protector slots and the root key.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/secret.h"
#include "protect/slot.h"
#include "trust/store_pin.h"

namespace zorv {

constexpr std::uint8_t kKeyActive = 1;
constexpr std::uint8_t kKeyRetired = 2;
constexpr std::uint8_t kKeyDisabled = 3; // kept, but refused for every use (format 3 only)

constexpr std::uint16_t kStoreVersionBuiltin = 1; // root key from the built-in derivation
constexpr std::uint16_t kStoreVersionSlots = 2;   // root key in protector slots; read, never written
constexpr std::uint16_t kStoreVersion = 3;        // and the store's identity and key state times

// Every byte that came from a store file is wiped with the record (the
// wrapped keys, as the slots' sealed root keys, are what an attack on a copy
// of the memory would start from).
struct KeyRecord {
    KeyRecord() = default;
    KeyRecord(const KeyRecord &) = default;
    KeyRecord &operator=(const KeyRecord &) = default;
    ~KeyRecord() { CleanseAll(nonce, wrapped, tag); }

    std::uint32_t domain = 0;
    std::uint32_t keyId = 0;
    std::uint8_t state = kKeyActive;
    std::int64_t created = 0;
    std::int64_t changed = 0; // when the state last changed (0: never, or a format-2 store)
    Key32 key;                // plain domain key
    // As stored: the key sealed under the wrapping key.
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 32> wrapped{};
    std::array<std::uint8_t, 16> tag{};
};

struct StoreImage {

    StoreImage() = default;
    StoreImage(StoreImage &&) = default;
    StoreImage &operator=(StoreImage &&) = default;
    StoreImage(const StoreImage &) = default;
    StoreImage &operator=(const StoreImage &) = default;
    ~StoreImage() { CleanseAll(salt); }

    bool Builtin() const { return version == kStoreVersionBuiltin; }

    std::uint16_t version = kStoreVersion;
    bool hasId = false; // format 3: the store's random identity, fixed at create
    StoreId id{};
    std::uint64_t counter = 0;
    std::int64_t created = 0;
    std::int64_t updated = 0;
    std::array<std::uint8_t, 32> salt{};
    std::vector<Slot> slots;      // empty in a format-1 store
    std::uint8_t openedSlot = 0;  // id of the slot that opened (0: built-in)
    Key32 root;
    std::vector<KeyRecord> keys;
    Key32 wrapKey; // set by decoding
};

} // namespace zorv
