#include "image_cache.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace zorv {
namespace {

// Pairs a process uses: its own and the fallbacks it may be moved to.
constexpr std::size_t kEntries = 4;

struct Entry {
    std::string primary;
    std::string standby;
    QintCallbacks record{};
    PairStamps stamps;
    std::shared_ptr<const KeyIndex> index;
    std::uint64_t used = 0;
};

struct Cache {
    std::mutex mutex;
    std::array<Entry, kEntries> entries;
    std::uint64_t clock = 0;
};

Cache &C()
{
    static Cache cache;
    return cache;
}

FileStamps Stamp(const struct stat &st)
{
    FileStamps s;
    if (!S_ISREG(st.st_mode)) {
        return s;
    }
    s.regular = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

FileStamps Stamp(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? Stamp(st) : FileStamps{};
}

bool Same(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool Before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool Same(const FileStamps &a, const FileStamps &b)
{
    return a.regular && b.regular && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           Same(a.mtime, b.mtime) && Same(a.ctime, b.ctime);
}

// A random salt for this process's passphrase digests, so a digest in memory
// is no dictionary target shared with any other process.
struct PassphraseSalt {
    PassphraseSalt() { ok = RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1; }
    ~PassphraseSalt() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    std::array<std::uint8_t, 32> bytes{};
    bool ok = false;
};

bool PassphraseDigest(const Unlock &unlock, std::array<std::uint8_t, 32> &digest)
{
    static const PassphraseSalt salt;
    if (!salt.ok) {
        return false;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned int n = 0;
    const bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, salt.bytes.data(), salt.bytes.size()) == 1 &&
                    EVP_DigestUpdate(ctx, unlock.passphrase.data(), unlock.passphrase.size()) == 1 &&
                    EVP_DigestFinal_ex(ctx, digest.data(), &n) == 1 && n == digest.size();
    EVP_MD_CTX_free(ctx); // cleanses its state
    return ok;
}

UnlockStamps StampUnlock(const Unlock &unlock)
{
    UnlockStamps u;
    try {
        u.hostKeyPath = unlock.hostKeyPath;
    } catch (const std::bad_alloc &) {
        return u;
    }
    struct stat st {};
    if (::lstat(unlock.hostKeyPath.c_str(), &st) != 0) {
        u.hostKeyErrno = errno;
        if (u.hostKeyErrno != ENOENT) {
            return u; // not usable: unreadable folder, too long a path
        }
    } else {
        if (!S_ISREG(st.st_mode)) {
            return u; // a link or other file: the protector decides afresh every time
        }
        u.hostKey = Stamp(st);
        u.hostKeyMode = st.st_mode;
        u.hostKeyOwner = st.st_uid;
    }
    u.hasPassphrase = unlock.hasPassphrase;
    if (u.hasPassphrase && !PassphraseDigest(unlock, u.passphraseDigest)) {
        return u;
    }
    u.pcrMask = unlock.pcrMask;
    u.scryptLog2N = unlock.scryptLog2N;
    u.usable = true;
    return u;
}

bool Same(const UnlockStamps &a, const UnlockStamps &b)
{
    if (!a.usable || !b.usable || a.hostKeyPath != b.hostKeyPath || a.hostKeyErrno != b.hostKeyErrno ||
        a.hasPassphrase != b.hasPassphrase || a.pcrMask != b.pcrMask || a.scryptLog2N != b.scryptLog2N) {
        return false;
    }
    if (a.hostKeyErrno == 0 &&
        (!Same(a.hostKey, b.hostKey) || a.hostKeyMode != b.hostKeyMode || a.hostKeyOwner != b.hostKeyOwner)) {
        return false;
    }
    return !a.hasPassphrase ||
           CRYPTO_memcmp(a.passphraseDigest.data(), b.passphraseDigest.data(), a.passphraseDigest.size()) == 0;
}

bool SameRecord(const QintCallbacks &a, const QintCallbacks &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Entry *Find(Cache &c, const std::string &primary, const std::string &standby)
{
    for (Entry &e : c.entries) {
        if (e.index != nullptr && e.primary == primary && e.standby == standby) {
            return &e;
        }
    }
    return nullptr;
}

} // namespace

PairStamps TakeStamps(const std::string &primary, const std::string &standby, const Unlock &unlock)
{
    PairStamps s;
    (void)clock_gettime(CLOCK_REALTIME_COARSE, &s.start);
    s.primary = Stamp(primary);
    s.standby = Stamp(standby);
    s.unlock = StampUnlock(unlock);
    return s;
}

std::shared_ptr<const KeyIndex> CachedIndex(const QintCallbacks &record, const std::string &primary,
                                            const std::string &standby, const PairStamps &now)
{
    Cache &c = C();
    std::lock_guard guard(c.mutex);
    Entry *e = Find(c, primary, standby);
    if (e == nullptr || !SameRecord(e->record, record) || !Same(e->stamps.primary, now.primary) ||
        !Same(e->stamps.standby, now.standby) || !Same(e->stamps.unlock, now.unlock)) {
        return nullptr;
    }
    e->used = ++c.clock;
    return e->index;
}

void RememberIndex(const QintCallbacks &record, const std::string &primary, const std::string &standby,
                   const Unlock &unlock, const PairStamps &before, std::shared_ptr<const KeyIndex> index)
{
    const PairStamps after = TakeStamps(primary, standby, unlock);
    const bool settled = Before(before.primary.ctime, before.start) && Before(before.standby.ctime, before.start) &&
                         (before.unlock.hostKeyErrno != 0 || Before(before.unlock.hostKey.ctime, before.start));
    Cache &c = C();
    std::lock_guard guard(c.mutex);
    Entry *e = Find(c, primary, standby);
    if (index == nullptr || !settled || !Same(before.primary, after.primary) ||
        !Same(before.standby, after.standby) || !Same(before.unlock, after.unlock)) {
        if (e != nullptr) {
            e->index.reset();
        }
        return;
    }
    try {
        if (e == nullptr) {
            e = &c.entries[0];
            for (Entry &candidate : c.entries) {
                if (candidate.index == nullptr || candidate.used < e->used) {
                    e = &candidate;
                    if (candidate.index == nullptr) {
                        break;
                    }
                }
            }
            e->index.reset();
            e->primary = primary;
            e->standby = standby;
        }
        e->record = record;
        e->stamps = before;
        e->index = std::move(index);
        e->used = ++c.clock;
    } catch (const std::bad_alloc &) {
        e->index.reset();
    }
}

} // namespace zorv
