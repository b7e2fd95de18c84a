#include "protect/slot_cache.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <mutex>

#include <openssl/crypto.h>

namespace zorv {
namespace {

struct Entry {
    std::uint8_t used;
    std::uint64_t age;
    std::array<std::uint8_t, 32> digest;
    std::array<std::uint8_t, 32> secret;
};

constexpr std::size_t kEntries = 16;

class LockedCache {
public:
    LockedCache()
    {
        size_ = std::max<std::size_t>(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), sizeof(Entry) * kEntries);
        void *p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            return;
        }
        // Without DONTDUMP the secrets could reach a core image: then no
        // cache at all. Locking is best effort (RLIMIT_MEMLOCK may be 0).
        if (::madvise(p, size_, MADV_DONTDUMP) != 0) {
            ::munmap(p, size_);
            return;
        }
#ifdef MADV_WIPEONFORK
        (void)::madvise(p, size_, MADV_WIPEONFORK);
#endif
        locked_ = ::mlock(p, size_) == 0;
        entries_ = static_cast<Entry *>(p);
    }
    ~LockedCache()
    {
        std::lock_guard guard(mutex_);
        if (entries_ == nullptr) {
            return;
        }
        OPENSSL_cleanse(entries_, size_);
        if (locked_) {
            ::munlock(entries_, size_);
        }
        ::munmap(entries_, size_);
        entries_ = nullptr;
    }
    LockedCache(const LockedCache &) = delete;
    LockedCache &operator=(const LockedCache &) = delete;

    bool Find(SlotDigestBytes digest, Key32 &secret)
    {
        std::lock_guard guard(mutex_);
        Entry *e = Lookup(digest);
        if (e == nullptr) {
            return false;
        }
        std::copy(e->secret.begin(), e->secret.end(), secret.data());
        return true;
    }

    void Put(SlotDigestBytes digest, const Key32 &secret)
    {
        std::lock_guard guard(mutex_);
        if (entries_ == nullptr) {
            return;
        }
        Entry *e = Lookup(digest);
        if (e == nullptr) {
            e = std::min_element(entries_, entries_ + kEntries, [](const Entry &a, const Entry &b) {
                return a.used != b.used ? a.used < b.used : a.age < b.age;
            });
        }
        e->used = 1;
        e->age = ++clock_;
        std::copy(digest.begin(), digest.end(), e->digest.begin());
        std::copy(secret.data(), secret.data() + secret.size(), e->secret.begin());
    }

    void KeepOnly(std::span<const std::array<std::uint8_t, 32>> keep)
    {
        std::lock_guard guard(mutex_);
        if (entries_ == nullptr) {
            return;
        }
        for (std::size_t i = 0; i < kEntries; ++i) {
            Entry &e = entries_[i];
            if (e.used != 0 && std::none_of(keep.begin(), keep.end(), [&](const auto &d) { return d == e.digest; })) {
                OPENSSL_cleanse(&e, sizeof e);
            }
        }
    }

private:
    Entry *Lookup(SlotDigestBytes digest)
    {
        if (entries_ == nullptr) {
            return nullptr;
        }
        for (std::size_t i = 0; i < kEntries; ++i) {
            Entry &e = entries_[i];
            if (e.used != 0 && CRYPTO_memcmp(e.digest.data(), digest.data(), digest.size()) == 0) {
                return &e;
            }
        }
        return nullptr;
    }

    std::mutex mutex_;
    Entry *entries_ = nullptr;
    std::size_t size_ = 0;
    bool locked_ = false;
    std::uint64_t clock_ = 0;
};

LockedCache &Cache()
{
    static LockedCache cache; // wiped and unmapped at exit
    return cache;
}

} // namespace

bool CachedSlotSecret(SlotDigestBytes digest, Key32 &secret) { return Cache().Find(digest, secret); }

void CacheSlotSecret(SlotDigestBytes digest, const Key32 &secret) { Cache().Put(digest, secret); }

void KeepCachedSlots(std::span<const std::array<std::uint8_t, 32>> keep) { Cache().KeepOnly(keep); }

} // namespace zorv
