#include "key_table.h"

#include <algorithm>
#include <new>
#include <vector>

#include "crypto/gcm.h"
#include "key_derivation.h"
#include "store_codec.h"

namespace zorv {

QintKeyTable *BuildKeyTable(const StoreImage &image)
{
    try {
        auto table = std::make_unique<QintKeyTable>();
        table->counter = image.counter;
        table->wrapKey = image.wrapKey;
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
        table->keys = std::make_unique<QintKeyTable::Key[]>(order.size());
        table->keyCount = static_cast<std::uint32_t>(order.size());
        for (std::uint32_t i = 0; i < table->keyCount; ++i) {
            const KeyRecord &k = *order[i];
            const int d = DomainIndex(k.domain);
            if (d < 0) {
                return nullptr;
            }
            auto &range = table->domains[static_cast<std::size_t>(d)];
            if (range.end == 0) {
                range.begin = i;
            }
            range.end = i + 1;
            if (k.state == kKeyActive) {
                range.active = i;
            }
            QintKeyTable::Key &key = table->keys[i];
            key.domain = k.domain;
            key.keyId = k.keyId;
            key.nonce = k.nonce;
            key.wrapped = k.wrapped;
            key.tag = k.tag;
        }
        return table.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

std::uint64_t ReadyKey(const QintKeyTable &table, QintKeyTable::Key &key)
{
    std::uint8_t state = key.state.load(std::memory_order_acquire);
    if (state == QintKeyTable::kPending) {
        std::lock_guard guard(table.deriveMutex);
        state = key.state.load(std::memory_order_relaxed);
        if (state == QintKeyTable::kPending) {
            KeyRecord record;
            record.domain = key.domain;
            record.keyId = key.keyId;
            record.nonce = key.nonce;
            record.wrapped = key.wrapped;
            record.tag = key.tag;
            Gcm gcm;
            Hmac hmac(Digest::Sha256);
            const bool ok = gcm.SetKey(table.wrapKey.span()) && UnwrapKey(gcm, record) &&
                            DeriveDataKeys(hmac, record.key, key.enc, key.hmac);
            state = ok ? QintKeyTable::kReady : QintKeyTable::kFailed;
            key.state.store(state, std::memory_order_release);
        }
    }
    return state == QintKeyTable::kReady ? 0 : QINT_ERR_BAD_CONTENT;
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
