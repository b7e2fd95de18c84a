// Holds the key table of the moment for one call: a reload in another
// thread swaps in a new table but cannot free this one until it is let go.
#pragma once

#include <cstdint>

#include "mur.h"
#include "zorv_keys.h"

namespace mur {

class KeySnapshot {
public:
    KeySnapshot() : status_(QintKeyTableAcquireEx(&table_)) {}
    ~KeySnapshot() { QintKeyTableReleaseEx(table_); }
    KeySnapshot(const KeySnapshot &) = delete;
    KeySnapshot &operator=(const KeySnapshot &) = delete;

    // 0, or the MUR_ERR_ for why no table or key was found.
    std::uint64_t status() const { return status_ == 0 ? 0 : MUR_ERR_NOT_INITIALIZED; }

    std::uint64_t Find(std::uint32_t domain, std::uint32_t keyId, QintKeyRef &ref) const
    {
        switch (QintKeyLookupEx(table_, domain, keyId, &ref)) {
        case 0:
            return 0;
        case QINT_ERR_UNKNOWN_DOMAIN:
            return MUR_ERR_UNKNOWN_DOMAIN;
        case QINT_ERR_UNKNOWN_KEY_ID:
            return MUR_ERR_UNKNOWN_KEY_ID;
        case QINT_ERR_KEY_DISABLED:
            return MUR_ERR_KEY_DISABLED;
        case QINT_ERR_BAD_CONTENT:
        case QINT_ERR_CRYPTO:
            return MUR_ERR_CRYPTO;
        default:
            return MUR_ERR_NOT_INITIALIZED;
        }
    }

private:
    const QintKeyTable *table_ = nullptr;
    std::uint64_t status_;
};

} // namespace mur
