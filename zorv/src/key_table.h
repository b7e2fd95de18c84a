// The loaded keys as the data-protection calls use them: per domain the
// derived encryption and HMAC keys of every key id, and which one is active.
// Immutable once built and shared by reference count; wiped when the last
// holder lets go.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "domains.h"
#include "store_image.h"
#include "zorv_keys.h"

struct QintKeyTable {
    struct Key {
        std::uint32_t domain;
        std::uint32_t keyId;
        zorv::Key32 enc;
        zorv::Key32 hmac;
    };
    struct Range {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
        std::uint32_t active = 0; // index into keys
    };

    mutable std::atomic<std::uint32_t> refs{1};
    std::uint64_t counter = 0;
    std::vector<Key> keys; // grouped by domain
    std::array<Range, zorv::kDomainIds.size()> domains{};
};

namespace zorv {

// Builds a table from a checked image (keys derived once here). Null when
// memory or the crypto library fails.
QintKeyTable *BuildKeyTable(const StoreImage &image);

void RetainKeyTable(const QintKeyTable *table);
void ReleaseKeyTable(const QintKeyTable *table);

// Whether some domain's active key id differs between the two tables.
bool ActiveKeysDiffer(const QintKeyTable &a, const QintKeyTable &b);

} // namespace zorv
