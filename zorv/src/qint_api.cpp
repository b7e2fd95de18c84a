// The agent's four calls and the key access of libMUR: one loaded key table
// at a time, swapped whole under the state lock.
#include <atomic>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include <openssl/crypto.h>

#include "failure_detail.h"
#include "failure_memory.h"
#include "image_cache.h"
#include "load_report.h"
#include "key_table.h"
#include "protect/settings.h"
#include "registry.h"
#include "store_pair.h"
#include "zorv.h"
#include "zorv_keys.h"
#include "crypto/secret.h"

// The record layouts are shared with the agent byte for byte.
static_assert(sizeof(QintCallbacks) == 328 && sizeof(QintKeyFileName) == 24);
static_assert(offsetof(QintCallbacks, fileOpen) == 24 && offsetof(QintCallbacks, fileExist) == 104);
static_assert(offsetof(QintCallbacks, lockCreate) == 112 && offsetof(QintCallbacks, log) == 176);
static_assert(offsetof(QintCallbacks, randomBytes) == 200 && offsetof(QintCallbacks, gmTime) == 224);

namespace zorv {
namespace {

constexpr std::size_t kMaxPathLength = 4095;

// The lock guarding the current table pointer. It is the caller's thread
// lock when the record offers one (a plain mutex: it is only ever held for a
// pointer copy or swap, never nested), else a mutex of our own.
class StateLock {
public:
    bool Create(const QintCallbacks &cb)
    {
        handle_ = nullptr;
        external_ = cb.lockCreate != nullptr && cb.lockAcquire != nullptr && cb.lockRelease != nullptr;
        if (!external_) {
            return true;
        }
        acquire_ = cb.lockAcquire;
        release_ = cb.lockRelease;
        destroy_ = cb.lockDestroy;
        if (cb.lockCreate(&handle_) != QINT_TRUE) {
            external_ = false;
            return false;
        }
        return true;
    }
    void Destroy()
    {
        if (external_ && destroy_ != nullptr) {
            destroy_(handle_);
        }
        external_ = false;
        handle_ = nullptr;
    }
    void lock()
    {
        if (external_) {
            acquire_(handle_);
        } else {
            own_.lock();
        }
    }
    void unlock()
    {
        if (external_) {
            release_(handle_);
        } else {
            own_.unlock();
        }
    }

private:
    bool external_ = false;
    void *handle_ = nullptr;
    void (*acquire_)(void *) = nullptr;
    void (*release_)(void *) = nullptr;
    void (*destroy_)(void *) = nullptr;
    std::mutex own_;
};

struct State {
    // Serialises registration, loading and finalising; never taken by the
    // data-protection calls.
    std::mutex api;
    QintCallbacks callbacks{};
    bool registered = false;
    std::atomic<bool> initialized{false};
    // Data-protection calls between their look at `initialized` and their
    // release of `lock`. Finalising waits for them to leave before it
    // destroys the lock, so a lock is never destroyed while it is taken.
    std::atomic<int> lockUsers{0};
    StateLock lock;
    QintKeyTable *table = nullptr; // guarded by lock
    PairPaths paths;
};

State &S()
{
    static State state;
    return state;
}

void WipeString(std::string &s)
{
    if (!s.empty()) {
        zorv::Wipe(s.data(), s.size());
    }
    s.clear();
}

bool ValidPath(const char *p) { return p != nullptr && p[0] != '\0' && std::strlen(p) <= kMaxPathLength; }

// Loads the pair and builds its table; the caller swaps it in. An unchanged
// pair verified before is not read again (image_cache.h).
std::uint64_t LoadTable(const Callbacks &cb, const PairPaths &paths, const char *caller, QintKeyTable *&table)
{
    table = nullptr;
    BeginLoad();
    LoadReport &report = ThisLoad();
    const Unlock unlock = CurrentUnlock();
    if (RecallFailure(paths, unlock, report)) {
        return report.result;
    }
    const PairStamps stamps = TakeStamps(paths.primary, paths.standby, unlock);
    std::uint64_t result = 0;
    std::shared_ptr<const KeyIndex> index = CachedIndex(cb.record(), paths.primary, paths.standby, stamps);
    if (index == nullptr) {
        ClearWatchedFiles();
        PairLoad load = LoadPair(cb, paths, unlock, true, false, caller);
        report.fresh = true;
        report.result = load.result;
        report.notice = load.notice;
        report.permanent = load.permanent;
        report.detail = std::move(load.detail);
        RememberLoad(paths, unlock, report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        result = load.result;
        index = BuildKeyIndex(load.Trusted().image);
        if (index != nullptr && result == 0) {
            RememberIndex(cb.record(), paths.primary, paths.standby, unlock, stamps, index);
        }
        const auto &image = load.Trusted().image;
        std::tm tm{};
        if (index != nullptr && cb.GmTime(static_cast<std::time_t>(image.updated), tm)) {
            cb.Log(QINT_LOG_DETAIL, caller, 0,
                   "key store of %zu keys, update %llu of %04d-%02d-%02dT%02d:%02d:%02dZ", image.keys.size(),
                   static_cast<unsigned long long>(image.counter), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                   tm.tm_hour, tm.tm_min, tm.tm_sec);
        }
    }
    table = index != nullptr ? NewKeyTable(index) : nullptr;
    if (table == nullptr) {
        cb.Log(QINT_LOG_FAILURE, caller, QINT_ERR_NO_MEMORY, "no memory for the key table of %s",
               paths.primary.c_str());
        report.result = QINT_ERR_NO_MEMORY;
        report.permanent = false;
        return QINT_ERR_NO_MEMORY;
    }
    return result;
}

// Puts table in place of the current one and lets go of the old one.
void SwapTable(State &s, const Callbacks &cb, QintKeyTable *table, const char *caller)
{
    QintKeyTable *old = nullptr;
    {
        std::lock_guard guard(s.lock);
        old = s.table;
        s.table = table;
    }
    if (old != nullptr) {
        if (ActiveKeysDiffer(*old->index, *table->index)) {
            cb.Log(QINT_LOG_NOTICE, caller, 0, "an active key changed on reload");
            cb.Notify(QINT_EVENT_ACTIVE_KEY_CHANGED, "key");
        }
        ReleaseKeyTable(old);
    }
}

} // namespace

Callbacks RegisteredCallbacks()
{
    State &s = S();
    std::lock_guard guard(s.api);
    return s.registered ? Callbacks(s.callbacks) : Callbacks();
}

} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintRegFuncEx(const QintCallbacks *callbacks)
{
    if (callbacks == nullptr) {
        return QINT_ERR_NO_CALLBACKS;
    }
    State &s = S();
    std::lock_guard guard(s.api);
    std::memcpy(&s.callbacks, callbacks, sizeof s.callbacks);
    s.registered = true;
    return 0;
}

ZORV_API uint64_t QintInitializeEx(uint32_t, const QintKeyFileName *fileName, uint32_t, void *)
{
    try {
        State &s = S();
        std::lock_guard guard(s.api);
        if (!s.registered) {
            return QINT_ERR_NO_CALLBACKS;
        }
        const Callbacks cb(s.callbacks);
        if (fileName == nullptr || !ValidPath(fileName->primaryFile) || !ValidPath(fileName->standbyFile)) {
            cb.Log(QINT_LOG_FAILURE, "QintInitializeEx", QINT_ERR_BAD_FILE_NAME, "bad key-file name record");
            return QINT_ERR_BAD_FILE_NAME;
        }
        PairPaths paths{fileName->primaryFile, fileName->standbyFile};
        QintKeyTable *table = nullptr;
        const std::uint64_t rc = LoadTable(cb, paths, "QintInitializeEx", table);
        if (table == nullptr) {
            WipeString(paths.primary);
            WipeString(paths.standby);
            return rc;
        }
        if (!s.initialized.load(std::memory_order_acquire)) {
            if (!s.lock.Create(s.callbacks)) {
                ReleaseKeyTable(table);
                cb.Log(QINT_LOG_FAILURE, "QintInitializeEx", QINT_ERR_LOCK, "could not create the state lock");
                return QINT_ERR_LOCK;
            }
        }
        SwapTable(s, cb, table, "QintInitializeEx");
        s.paths = std::move(paths);
        s.initialized.store(true, std::memory_order_release);
        cb.Log(QINT_LOG_NOTICE, "QintInitializeEx", rc, "key store loaded from %s", s.paths.primary.c_str());
        return rc;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintResetEx(void)
{
    try {
        State &s = S();
        std::lock_guard guard(s.api);
        if (!s.initialized.load(std::memory_order_acquire)) {
            return QINT_ERR_NOT_INITIALIZED;
        }
        const Callbacks cb(s.callbacks);
        QintKeyTable *table = nullptr;
        const std::uint64_t rc = LoadTable(cb, s.paths, "QintResetEx", table);
        if (table == nullptr) {
            cb.Log(QINT_LOG_FAILURE, "QintResetEx", rc, "reload failed; keeping the keys loaded before");
            return rc;
        }
        SwapTable(s, cb, table, "QintResetEx");
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintFinalizeEx(void)
{
    State &s = S();
    std::lock_guard guard(s.api);
    if (!s.initialized.exchange(false)) {
        return 0;
    }
    QintKeyTable *old = nullptr;
    {
        std::lock_guard lock(s.lock);
        old = s.table;
        s.table = nullptr;
    }
    ReleaseKeyTable(old);
    // Callers that saw the store loaded may still be about to take the lock;
    // later ones see it finalised and never touch it.
    while (s.lockUsers.load() != 0) {
        std::this_thread::yield();
    }
    s.lock.Destroy();
    WipeString(s.paths.primary);
    WipeString(s.paths.standby);
    return 0;
}

ZORV_API uint64_t QintKeyTableAcquireEx(const QintKeyTable **table)
{
    if (table == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    State &s = S();
    QintKeyTable *current = nullptr;
    s.lockUsers.fetch_add(1);
    if (s.initialized.load()) {
        std::lock_guard guard(s.lock);
        current = s.table;
        if (current != nullptr) {
            RetainKeyTable(current);
        }
    }
    s.lockUsers.fetch_sub(1);
    if (current == nullptr) {
        return QINT_ERR_NOT_INITIALIZED;
    }
    *table = current;
    return 0;
}

ZORV_API void QintKeyTableReleaseEx(const QintKeyTable *table) { ReleaseKeyTable(table); }

ZORV_API uint64_t QintKeyLookupEx(const QintKeyTable *table, uint32_t domain, uint32_t keyId, QintKeyRef *ref)
{
    if (table == nullptr || ref == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    const int d = DomainIndex(domain);
    if (d < 0) {
        return QINT_ERR_UNKNOWN_DOMAIN;
    }
    const KeyIndex &index = *table->index;
    const auto &range = index.domains[static_cast<std::size_t>(d)];
    if (range.end <= range.begin) {
        return QINT_ERR_UNKNOWN_DOMAIN;
    }
    std::uint32_t at = range.active;
    if (keyId != QINT_ACTIVE_KEY) {
        at = range.end;
        for (std::uint32_t i = range.begin; i < range.end; ++i) {
            if (index.keys[i].keyId == keyId) {
                at = i;
                break;
            }
        }
        if (at == range.end) {
            return QINT_ERR_UNKNOWN_KEY_ID;
        }
        if (index.keys[at].disabled) {
            return QINT_ERR_KEY_DISABLED;
        }
    }
    const QintKeyTable::Unwrapped *found = ReadyKey(*table, static_cast<std::size_t>(d), at);
    if (found == nullptr) {
        return QINT_ERR_BAD_CONTENT;
    }
    ref->domain = index.keys[at].domain;
    ref->keyId = index.keys[at].keyId;
    ref->encKey = found->enc.data();
    ref->hmacKey = found->hmac.data();
    return 0;
}

} // extern "C"
