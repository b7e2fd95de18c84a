#include "key_table.h"

#include <algorithm>
#include <memory>
#include <new>

#include "key_derivation.h"

namespace zorv {

QintKeyTable *BuildKeyTable(const StoreImage &image)
{
    try {
        auto table = std::make_unique<QintKeyTable>();
        table->counter = image.counter;
        table->keys.reserve(image.keys.size());
        std::vector<const KeyRecord *> order;
        order.reserve(image.keys.size());
        for (const KeyRecord &k : image.keys) {
            order.push_back(&k);
        }
        std::sort(order.begin(), order.end(), [](const KeyRecord *a, const KeyRecord *b) {
            const int da = DomainIndex(a->domain);
            const int db = DomainIndex(b->domain);
            return da != db ? da < db : a->keyId < b->keyId;
        });
        Hmac hmac(Digest::Sha256);
        for (const KeyRecord *k : order) {
            const int d = DomainIndex(k->domain);
            if (d < 0) {
                return nullptr;
            }
            auto &range = table->domains[static_cast<std::size_t>(d)];
            const auto index = static_cast<std::uint32_t>(table->keys.size());
            if (range.end == 0) {
                range.begin = index;
            }
            range.end = index + 1;
            if (k->state == kKeyActive) {
                range.active = index;
            }
            QintKeyTable::Key &key = table->keys.emplace_back();
            key.domain = k->domain;
            key.keyId = k->keyId;
            if (!DeriveDataKeys(hmac, k->key, key.enc, key.hmac)) {
                return nullptr;
            }
        }
        return table.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void RetainKeyTable(const QintKeyTable *table) { table->refs.fetch_add(1, std::memory_order_relaxed); }

void ReleaseKeyTable(const QintKeyTable *table)
{
    if (table != nullptr && table->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete table; // Key32 members wipe themselves
    }
}

bool ActiveKeysDiffer(const QintKeyTable &a, const QintKeyTable &b)
{
    for (std::size_t d = 0; d < kDomainIds.size(); ++d) {
        const auto &ra = a.domains[d];
        const auto &rb = b.domains[d];
        const bool hasA = ra.end > ra.begin;
        const bool hasB = rb.end > rb.begin;
        if (hasA != hasB || (hasA && a.keys[ra.active].keyId != b.keys[rb.active].keyId)) {
            return true;
        }
    }
    return false;
}

} // namespace zorv
