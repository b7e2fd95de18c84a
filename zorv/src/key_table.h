// The loaded keys as the data-protection calls use them. Immutable once
// built apart from each key's derived material, which is made on the key's
// first use (unwrap, then derive the encryption and HMAC keys) and then kept
// for the life of the table: once per load, never per call, and no work for
// keys nobody uses. Shared by reference count; wiped when the last holder
// lets go.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "domains.h"
#include "store_image.h"
#include "zorv_keys.h"

struct QintKeyTable {
    enum : std::uint8_t { kPending = 0, kReady = 1, kFailed = 2 };

    struct Key {
        Key() = default;
        Key(const Key &) = delete;
        Key &operator=(const Key &) = delete;
        ~Key() { zorv::CleanseAll(nonce, wrapped, tag); }

        std::uint32_t domain = 0;
        std::uint32_t keyId = 0;
        std::array<std::uint8_t, 12> nonce{};
        std::array<std::uint8_t, 32> wrapped{};
        std::array<std::uint8_t, 16> tag{};
        std::atomic<std::uint8_t> state{kPending};
        zorv::Key32 enc;  // valid once state is kReady
        zorv::Key32 hmac; // valid once state is kReady
    };
    struct Range {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
        std::uint32_t active = 0; // index into keys
    };

    mutable std::atomic<std::uint32_t> refs{1};
    std::uint64_t counter = 0;
    zorv::Key32 wrapKey;
    std::unique_ptr<Key[]> keys; // grouped by domain, ascending key id
    std::uint32_t keyCount = 0;
    std::array<Range, zorv::kDomainIds.size()> domains{};
    mutable std::mutex deriveMutex; // serialises first uses only
};

namespace zorv {

// Builds a table from a checked image (wrapped keys and wrapping key). Null
// when memory runs out.
QintKeyTable *BuildKeyTable(const StoreImage &image);

// Makes sure the key's material is there. 0 or QINT_ERR_BAD_CONTENT (the
// key would not unwrap) / QINT_ERR_CRYPTO.
std::uint64_t ReadyKey(const QintKeyTable &table, QintKeyTable::Key &key);

void RetainKeyTable(const QintKeyTable *table);
void ReleaseKeyTable(const QintKeyTable *table);

// Whether some domain's active key id differs between the two tables.
bool ActiveKeysDiffer(const QintKeyTable &a, const QintKeyTable &b);

} // namespace zorv
