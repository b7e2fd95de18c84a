// Administration of the key lifecycle: the keys with their state times,
// disabling and enabling a key, and removing chosen keys.
#include <algorithm>
#include <ctime>
#include <new>
#include <vector>

#include "admin_common.h"
#include "domains.h"
#include "registry.h"
#include "store_codec.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::uint64_t Pair(std::uint32_t domain, std::uint32_t keyId) { return std::uint64_t{domain} << 32 | keyId; }

KeyRecord *FindKey(StoreImage &image, std::uint32_t domain, std::uint32_t keyId)
{
    const auto at = std::find_if(image.keys.begin(), image.keys.end(),
                                 [&](const KeyRecord &k) { return k.domain == domain && k.keyId == keyId; });
    return at == image.keys.end() ? nullptr : &*at;
}

// Why key may not be removed under the rule of disabledBefore; 0 when it may.
std::uint64_t RemovalRefused(const KeyRecord *key, std::int64_t disabledBefore)
{
    if (key == nullptr) {
        return QINT_ERR_UNKNOWN_KEY_ID;
    }
    if (key->state == kKeyActive) {
        return QINT_ERR_KEY_ACTIVE;
    }
    if (disabledBefore != 0 &&
        (key->state != kKeyDisabled || key->changed == 0 || key->changed > disabledBefore)) {
        return QINT_ERR_KEY_STATE;
    }
    return 0;
}

} // namespace
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintAdminKeyDetailsEx(const QintKeyFileName *names, QintKeyDetail *keys, uint32_t capacity,
                                        uint32_t *count, QintAdminReport *report)
{
    try {
        PairPaths paths;
        if (count == nullptr) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        PairLoad load =
            LoadReported(RegisteredCallbacks(), paths, CurrentUnlock(), false, "QintAdminKeyDetailsEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        std::vector<KeyRecord> &all = (load.chosen == Chosen::Standby ? load.standby : load.primary).image.keys;
        std::sort(all.begin(), all.end(), [](const KeyRecord &a, const KeyRecord &b) {
            const int da = DomainIndex(a.domain);
            const int db = DomainIndex(b.domain);
            return da != db ? da < db : a.keyId < b.keyId;
        });
        *count = static_cast<uint32_t>(all.size());
        if (keys == nullptr || capacity < all.size()) {
            return QINT_ERR_BUFFER_TOO_SMALL;
        }
        for (std::size_t i = 0; i < all.size(); ++i) {
            const KeyRecord &k = all[i];
            keys[i] = QintKeyDetail{k.domain, k.keyId, k.state, 0, k.created, k.changed};
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminSetKeyStateEx(const QintKeyFileName *names, uint32_t domain, uint32_t keyId,
                                         uint32_t state, uint32_t *previous, QintAdminReport *report)
{
    if (state != QINT_KEY_DISABLED && state != QINT_KEY_RETIRED) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (DomainIndex(domain) < 0) {
        return QINT_ERR_UNKNOWN_DOMAIN;
    }
    return Mutate(names, report, "QintAdminSetKeyStateEx", false,
                  [&](const Callbacks &, const Unlock &, StoreImage &image, bool &write) {
        KeyRecord *key = FindKey(image, domain, keyId);
        if (key == nullptr) {
            return std::uint64_t{QINT_ERR_UNKNOWN_KEY_ID};
        }
        if (previous != nullptr) {
            *previous = key->state;
        }
        if (key->state == kKeyActive) {
            return std::uint64_t{QINT_ERR_KEY_ACTIVE};
        }
        write = key->state != state;
        if (write) {
            key->state = static_cast<std::uint8_t>(state);
            key->changed = Now();
        }
        return std::uint64_t{0};
    });
}

ZORV_API uint64_t QintAdminRemoveKeysEx(const QintKeyFileName *names, const QintKeyId *keys, uint32_t count,
                                        int64_t disabledBefore, uint32_t *failed, QintAdminReport *report)
{
    if (keys == nullptr && count != 0) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (count == 0) {
        return 0;
    }
    return Mutate(names, report, "QintAdminRemoveKeysEx", false,
                  [&](const Callbacks &, const Unlock &, StoreImage &image, bool &) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (const std::uint64_t rc = RemovalRefused(FindKey(image, keys[i].domain, keys[i].keyId), disabledBefore);
                rc != 0) {
                if (failed != nullptr) {
                    *failed = i;
                }
                return rc;
            }
        }
        std::vector<std::uint64_t> listed(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            listed[i] = Pair(keys[i].domain, keys[i].keyId);
        }
        std::sort(listed.begin(), listed.end());
        std::vector<KeyRecord> kept;
        kept.reserve(image.keys.size());
        for (const KeyRecord &k : image.keys) {
            if (!std::binary_search(listed.begin(), listed.end(), Pair(k.domain, k.keyId))) {
                kept.push_back(k);
            }
        }
        image.keys.swap(kept); // the removed keys are wiped with `kept`
        return std::uint64_t{0};
    });
}

} // extern "C"
