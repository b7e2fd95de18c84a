// A key store as held in memory between parsing and writing: the plain
// domain keys with their metadata.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/secret.h"

namespace zorv {

constexpr std::uint8_t kKeyActive = 1;
constexpr std::uint8_t kKeyRetired = 2;

struct KeyRecord {
    std::uint32_t domain = 0;
    std::uint32_t keyId = 0;
    std::uint8_t state = kKeyActive;
    std::int64_t created = 0;
    Key32 key; // plain domain key
    // As stored: the key sealed under the wrapping key.
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 32> wrapped{};
    std::array<std::uint8_t, 16> tag{};
};

struct StoreImage {
    std::uint64_t counter = 0;
    std::int64_t created = 0;
    std::int64_t updated = 0;
    std::array<std::uint8_t, 32> salt{};
    std::vector<KeyRecord> keys;
    Key32 wrapKey; // set by decoding
};

} // namespace zorv
