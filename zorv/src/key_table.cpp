#include "key_table.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "crypto/gcm.h"
#include "key_derivation.h"
#include "store_codec.h"

namespace {

std::atomic<std::size_t> g_liveUnwrapped{0};

} // namespace

QintKeyTable::Unwrapped::Unwrapped(std::uint32_t i, Unwrapped *n) : index(i), next(n)
{
    g_liveUnwrapped.fetch_add(1, std::memory_order_relaxed);
}

QintKeyTable::Unwrapped::~Unwrapped() { g_liveUnwrapped.fetch_sub(1, std::memory_order_relaxed); }

QintKeyTable::~QintKeyTable()
{
    for (auto &head : used) {
        Unwrapped *u = head.load(std::memory_order_acquire);
        while (u != nullptr) {
            Unwrapped *next = u->next;
            delete u; // Key32 members wipe themselves
            u = next;
        }
    }
}

namespace zorv {

KeyIndex::~KeyIndex()
{
    if (keys != nullptr) {
        std::destroy_n(keys, keyCount);
    }
    if (wrapKey != nullptr) {
        std::destroy_at(wrapKey);
    }
}

KeyIndex::Entry::~Entry()
{
    OPENSSL_cleanse(nonce.data(), nonce.size());
    OPENSSL_cleanse(wrapped.data(), wrapped.size());
    OPENSSL_cleanse(tag.data(), tag.size());
}

std::shared_ptr<const KeyIndex> BuildKeyIndex(const StoreImage &image)
{
    try {
        auto index = std::make_shared<KeyIndex>();
        index->counter = image.counter;
        // Sort by (domain slot, key id) once, with the slot worked out once
        // per key rather than per comparison.
        std::vector<std::pair<std::uint64_t, const KeyRecord *>> order;
        order.reserve(image.keys.size());
        for (const KeyRecord &k : image.keys) {
            const int d = DomainIndex(k.domain);
            if (d < 0) {
                return nullptr; // not reached: the image was checked
            }
            order.emplace_back((std::uint64_t(d) << 32) | k.keyId, &k);
        }
        std::sort(order.begin(), order.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        static_assert(sizeof(Key32) % alignof(KeyIndex::Entry) == 0);
        if (!index->storage.Map(sizeof(Key32) + order.size() * sizeof(KeyIndex::Entry))) {
            return nullptr;
        }
        auto *at = static_cast<std::uint8_t *>(index->storage.data());
        index->wrapKey = new (at) Key32(image.wrapKey);
        index->keys = reinterpret_cast<KeyIndex::Entry *>(at + sizeof(Key32));
        std::uninitialized_default_construct_n(index->keys, order.size());
        index->keyCount = static_cast<std::uint32_t>(order.size());
        for (std::uint32_t i = 0; i < index->keyCount; ++i) {
            const KeyRecord &k = *order[i].second;
            auto &range = index->domains[static_cast<std::size_t>(order[i].first >> 32)];
            if (range.end == 0) {
                range.begin = i;
            }
            range.end = i + 1;
            if (k.state == kKeyActive) {
                range.active = i;
            }
            KeyIndex::Entry &e = index->keys[i];
            e.domain = k.domain;
            e.keyId = k.keyId;
            e.disabled = k.state == kKeyDisabled;
            e.nonce = k.nonce;
            e.wrapped = k.wrapped;
            e.tag = k.tag;
        }
        return index;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

QintKeyTable *NewKeyTable(std::shared_ptr<const KeyIndex> index)
{
    return new (std::nothrow) QintKeyTable(std::move(index));
}

namespace {

const QintKeyTable::Unwrapped *Find(const QintKeyTable::Unwrapped *u, std::uint32_t i)
{
    for (; u != nullptr && u->index != i; u = u->next) {
    }
    return u;
}

} // namespace

const QintKeyTable::Unwrapped *ReadyKey(const QintKeyTable &table, std::size_t d, std::uint32_t i)
{
    auto &head = table.used[d];
    if (const auto *u = Find(head.load(std::memory_order_acquire), i)) {
        return u;
    }
    std::lock_guard guard(table.deriveMutex);
    QintKeyTable::Unwrapped *first = head.load(std::memory_order_relaxed);
    if (const auto *u = Find(first, i)) {
        return u;
    }
    const KeyIndex::Entry &e = table.index->keys[i];
    KeyRecord record;
    record.domain = e.domain;
    record.keyId = e.keyId;
    record.nonce = e.nonce;
    record.wrapped = e.wrapped;
    record.tag = e.tag;
    std::unique_ptr<QintKeyTable::Unwrapped> u(new (std::nothrow) QintKeyTable::Unwrapped(i, first));
    if (u == nullptr) {
        return nullptr;
    }
    if (!table.unwrapperKeyed) {
        table.unwrapperKeyed = table.unwrapper.SetKey(table.index->wrapKey->span());
    }
    if (!table.unwrapperKeyed || !UnwrapKey(table.unwrapper, record)) {
        return nullptr; // record.key and u wipe themselves
    }
    Hmac hmac(Digest::Sha256);
    if (!DeriveDataKeys(hmac, record.key, u->enc, u->hmac)) {
        return nullptr;
    }
    head.store(u.get(), std::memory_order_release);
    return u.release();
}

void RetainKeyTable(const QintKeyTable *table) { table->refs.fetch_add(1, std::memory_order_relaxed); }

void ReleaseKeyTable(const QintKeyTable *table)
{
    if (table != nullptr && table->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete table;
    }
}

bool ActiveKeysDiffer(const KeyIndex &a, const KeyIndex &b)
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

std::size_t LiveUnwrappedKeys() { return g_liveUnwrapped.load(std::memory_order_relaxed); }

} // namespace zorv
