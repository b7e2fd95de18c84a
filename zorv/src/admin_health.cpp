// The health of a key-store pair and its repair. Each copy is judged as a
// load judges it; a copy that fails is then told apart with the help of the
// healthy copy of the same store: damaged (and where), a copy of another
// store, or a whole copy that does not open here. A slot's seal cannot tell
// a wrong key from a changed byte, so without that comparison a damaged slot
// would look like a store of another host.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "admin_common.h"
#include "crypto/byte_cursor.h"
#include "crypto/gcm.h"
#include "failure_detail.h"
#include "key_derivation.h"
#include "protect/protector.h"
#include "registry.h"
#include "store_codec.h"
#include "store_file.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

struct Where {
    std::uint32_t damage = QINT_DAMAGE_NONE;
    std::uint32_t slot = 0;
};

// A stretch of a file: the part that ends at end.
struct Region {
    std::size_t end;
    Where where;
};

constexpr std::uint8_t kMagic[] = {'Z', 'V', 'K', 'S'};

// The parts of a file in order (header, each slot, key index, MAC) as far as
// they parse; false with failed naming the first part that does not.
bool MapFile(std::span<const std::uint8_t> file, std::vector<Region> &regions, Where &failed)
{
    ByteReader r(file);
    const auto magic = r.Take(sizeof kMagic);
    const std::uint16_t version = r.U16();
    if (!r.ok()) {
        failed = {QINT_DAMAGE_LENGTH, 0};
        return false;
    }
    if (!std::equal(magic.begin(), magic.end(), kMagic) ||
        (version != kStoreVersion && version != kStoreVersionSlots && version != kStoreVersionBuiltin)) {
        failed = {QINT_DAMAGE_HEADER, 0};
        return false;
    }
    r.Take(2 + 8 + 8 + 8 + 32); // flags, counter, times, salt
    const std::uint32_t count = r.U32();
    std::uint8_t slots = 0;
    if (version != kStoreVersionBuiltin) {
        slots = r.U8();
        const auto zero = r.Take(3);
        r.Take(version == kStoreVersion ? 16 : 0); // store id
        if (r.ok() && (slots == 0 || slots > kMaxSlots || std::any_of(zero.begin(), zero.end(), [](auto b) {
                                                             return b != 0;
                                                         }))) {
            failed = {QINT_DAMAGE_HEADER, 0};
            return false;
        }
    }
    if (!r.ok()) {
        failed = {QINT_DAMAGE_LENGTH, 0};
        return false;
    }
    regions.push_back({r.position(), {QINT_DAMAGE_HEADER, 0}});
    for (std::uint32_t i = 0; i < slots; ++i) {
        Slot s;
        const bool ok = ReadSlot(r, s);
        const Where where{QINT_DAMAGE_SLOT, s.id != 0 ? s.id : i + 1};
        if (!ok) {
            failed = where;
            return false;
        }
        regions.push_back({r.position(), where});
    }
    const std::size_t entry = version == kStoreVersion ? kStoreEntrySize : kStoreEntrySizeV2;
    if (count > kMaxStoreEntries || r.remaining() != std::size_t{count} * entry + kStoreMacSize) {
        failed = {QINT_DAMAGE_LENGTH, 0};
        return false;
    }
    regions.push_back({file.size() - kStoreMacSize, {QINT_DAMAGE_INDEX, 0}});
    regions.push_back({file.size(), {QINT_DAMAGE_MAC, 0}});
    return true;
}

// Copies written together (one write, one update counter, one salt) are
// byte-for-byte equal.
bool SameWrite(std::span<const std::uint8_t> bad, std::span<const std::uint8_t> good)
{
    constexpr std::size_t kCounterAt = 8, kSaltAt = 32, kSaltEnd = 64;
    return bad.size() == good.size() && good.size() > kSaltEnd &&
           std::equal(bad.begin() + kCounterAt, bad.begin() + kCounterAt + 8, good.begin() + kCounterAt) &&
           std::equal(bad.begin() + kSaltAt, bad.begin() + kSaltEnd, good.begin() + kSaltAt);
}

// Where two files of one size differ, by the good copy's map: the part that
// holds the first difference when they are copies of one write, else the
// one part that differs when only one does. False when it cannot say.
bool Compare(std::span<const std::uint8_t> bad, std::span<const std::uint8_t> good, Where &where)
{
    std::vector<Region> regions;
    Where unused;
    if (bad.size() != good.size() || !MapFile(good, regions, unused)) {
        return false;
    }
    std::vector<Where> differing;
    std::size_t start = 0;
    for (const Region &r : regions) {
        if (!std::equal(bad.begin() + start, bad.begin() + r.end, good.begin() + start)) {
            differing.push_back(r.where);
        }
        start = r.end;
    }
    if (differing.empty() || (differing.size() > 1 && !SameWrite(bad, good))) {
        return false;
    }
    where = differing.front();
    return true;
}

bool SameBytes(const Slot &a, const Slot &b)
{
    return a.type == b.type && a.id == b.id && a.params == b.params && a.nonce == b.nonce && a.sealed == b.sealed &&
           a.tag == b.tag;
}

// A slot of the copy that does not open here while the good copy's slot of
// the same id and type, which differs from it, does: that slot is damaged.
const Slot *DamagedSlot(const StoreImage &image, const StoreImage &good, const Unlock &unlock)
{
    for (const Slot &s : image.slots) {
        const auto g = std::find_if(good.slots.begin(), good.slots.end(),
                                    [&](const Slot &o) { return o.id == s.id && o.type == s.type; });
        Key32 root;
        if (g != good.slots.end() && !SameBytes(s, *g) && OpenSlot(image.salt, s, unlock, root) != 0 &&
            OpenSlot(good.salt, *g, unlock, root) == 0) {
            return &s;
        }
    }
    return nullptr;
}

// A slot of the copy that differs from the good copy's slot of the same id
// and type.
const Slot *ChangedSlot(const StoreImage &image, const StoreImage &good)
{
    for (const Slot &s : image.slots) {
        for (const Slot &g : good.slots) {
            if (g.id == s.id && g.type == s.type && !SameBytes(s, g)) {
                return &s;
            }
        }
    }
    return nullptr;
}

// Whether every key entry opens under the file's wrapping key.
bool EntriesOpen(std::span<const std::uint8_t> file, const StoreLayout &layout, StoreImage &image, const Key32 &root)
{
    FileKeys keys;
    Gcm gcm;
    if (ParseKeyIndex(file, layout, image) != 0 || !DeriveFileKeys(root, keys) || !gcm.SetKey(keys.wrap.span())) {
        return false;
    }
    return std::all_of(image.keys.begin(), image.keys.end(), [&](KeyRecord &k) { return UnwrapKey(gcm, k); });
}

QintCopyHealth Verdict(std::uint32_t verdict, std::uint64_t status, Where where = {})
{
    QintCopyHealth h{};
    h.verdict = verdict;
    h.status = status;
    h.damage = where.damage;
    h.slotId = where.slot;
    return h;
}

void CopyText(const std::string &text, char (&out)[QINT_REPORT_TEXT_MAX])
{
    const std::size_t n = std::min(text.size(), sizeof out - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

QintCopyHealth Damaged(std::uint64_t status, Where where) { return Verdict(QINT_COPY_DAMAGED, status, where); }

// A copy that failed its checks, judged against good (the copy in use, null
// when there is none).
QintCopyHealth JudgeFailed(const CopyCheck &c, const CopyCheck *good, const Unlock &unlock)
{
    const std::uint64_t status = c.status;
    if (status == QINT_ERR_FILE_MISSING) {
        return Verdict(QINT_COPY_MISSING, status);
    }
    if (status == QINT_ERR_FILE_READ) {
        return Verdict(QINT_COPY_UNREADABLE, status);
    }
    if (IsRefusal(status)) {
        return Verdict(QINT_COPY_FOREIGN, status);
    }
    if (status == QINT_ERR_HOST_CONFIG || status == QINT_ERR_NO_MEMORY) {
        return Verdict(QINT_COPY_LOCKED, status); // nothing of the file was judged
    }
    Where where;
    if (good != nullptr && Compare(c.bytes, good->bytes, where)) {
        return Damaged(status, where);
    }
    std::vector<Region> regions;
    Where failed;
    if (!MapFile(c.bytes, regions, failed)) {
        return Damaged(status, failed);
    }
    StoreImage image;
    StoreLayout layout;
    if (ParseStoreHeader(c.bytes, image, layout) != 0) {
        return Damaged(status, {QINT_DAMAGE_HEADER, 0});
    }
    const StoreImage *g = good != nullptr ? &good->image : nullptr;
    if (g != nullptr && image.hasId && g->hasId && image.id != g->id) {
        return Verdict(QINT_COPY_FOREIGN, QINT_ERR_FOREIGN_COPY);
    }
    ClearFailureDetail();
    std::uint64_t opened = OpenStoreRoot(image, unlock);
    const std::string openDetail = FailureDetail();
    if (opened == 0 && g != nullptr && CRYPTO_memcmp(image.root.data(), g->root.data(), g->root.size()) != 0) {
        return Verdict(QINT_COPY_FOREIGN, QINT_ERR_FOREIGN_COPY);
    }
    if (g != nullptr && image.salt != g->salt) {
        if (!(image.hasId && g->hasId)) {
            return Verdict(QINT_COPY_FOREIGN, QINT_ERR_FOREIGN_COPY); // another salt and no identity to say otherwise
        }
        // One store, the same slots, another salt: only a new protection
        // (which makes new slots) changes the salt, so the salt was damaged.
        if (image.slots.size() == g->slots.size() &&
            std::equal(image.slots.begin(), image.slots.end(), g->slots.begin(), SameBytes)) {
            return Damaged(status, {QINT_DAMAGE_HEADER, 0});
        }
    }
    FileKeys keys;
    const bool macVerifies = opened == 0 && VerifyStoreMac(c.bytes, image.root, keys) == 0;
    if (g != nullptr && !image.Builtin()) {
        // Under one root key a slot changes only by damage: writes carry the
        // slots over byte for byte.
        const Slot *s = opened == 0 && !macVerifies ? ChangedSlot(image, *g) : DamagedSlot(image, *g, unlock);
        if (s != nullptr) {
            return Damaged(status, {QINT_DAMAGE_SLOT, s->id});
        }
    }
    if (opened != 0) {
        QintCopyHealth h = Verdict(QINT_COPY_LOCKED, opened);
        CopyText(opened == status ? c.detail : openDetail, h.detail);
        return h;
    }
    if (macVerifies && layout.flags != 0) {
        return Damaged(status, {QINT_DAMAGE_HEADER, 0});
    }
    if (!EntriesOpen(c.bytes, layout, image, image.root)) {
        return Damaged(status, {QINT_DAMAGE_INDEX, 0});
    }
    // Everything the MAC covers checks out: the MAC (or a header field only
    // it covers) is what changed.
    return macVerifies ? Verdict(QINT_COPY_LOCKED, status) : Damaged(status, {QINT_DAMAGE_MAC, 0});
}

QintCopyHealth Judge(const CopyCheck &c, const CopyCheck *good, bool inUse, const Unlock &unlock)
{
    QintCopyHealth h{};
    if (c.status == 0) {
        h = Verdict(inUse || (good != nullptr && c.bytes == good->bytes) ? QINT_COPY_HEALTHY : QINT_COPY_STALE, 0);
        h.counter = c.counter;
        return h;
    }
    h = JudgeFailed(c, good, unlock);
    if (h.detail[0] == '\0' && h.status == c.status && h.verdict != QINT_COPY_DAMAGED) {
        CopyText(c.detail, h.detail);
    }
    std::uint64_t counter = 0;
    h.counter = PeekCounter(c.bytes, counter) ? counter : 0;
    return h;
}

struct Judged {
    PairLoad load;
    QintPairHealth health{};
};

std::uint64_t JudgePair(const QintKeyFileName *names, Judged &out, PairPaths &paths)
{
    if (!ToPaths(names, paths)) {
        return QINT_ERR_BAD_FILE_NAME;
    }
    const Unlock unlock = CurrentUnlock();
    out.load = LoadPair(RegisteredCallbacks(), paths, unlock, false, true, "QintAdminHealthEx");
    const PairLoad &load = out.load;
    QintPairHealth &h = out.health;
    h.load = load.result;
    const bool usable = load.result == 0 || load.result == QINT_LOADED_RESTORED;
    const CopyCheck *good = usable ? &load.Trusted() : nullptr;
    h.inUse = !usable ? QINT_FILE_NONE : load.chosen == Chosen::Standby ? QINT_FILE_STANDBY : QINT_FILE_PRIMARY;
    h.primary = Judge(load.primary, good, h.inUse == QINT_FILE_PRIMARY, unlock);
    h.standby = Judge(load.standby, good, h.inUse == QINT_FILE_STANDBY, unlock);
    if (h.standby.detail[0] == '\0' && h.standby.status == h.primary.status && load.standby.bytes == load.primary.bytes) {
        std::memcpy(h.standby.detail, h.primary.detail, sizeof h.standby.detail); // identical copies: one check
    }
    if (good != nullptr) {
        const StoreImage &image = good->image;
        h.openedSlot = image.openedSlot;
        h.openedType = image.Builtin() ? QINT_PROTECT_BUILTIN : 0;
        for (const Slot &s : image.slots) {
            h.openedType = s.id == image.openedSlot ? s.type : h.openedType;
        }
    }
    return 0;
}

// Whether the copy may be overwritten from the good one: never another store,
// nor a copy that does not open here and claims to be newer.
std::uint64_t MayRewrite(const QintCopyHealth &bad, const QintCopyHealth &good)
{
    switch (bad.verdict) {
    case QINT_COPY_STALE:
    case QINT_COPY_DAMAGED:
    case QINT_COPY_MISSING:
        return 0;
    case QINT_COPY_LOCKED:
        return bad.counter <= good.counter && bad.status != QINT_ERR_HOST_CONFIG ? 0 : bad.status;
    case QINT_COPY_UNREADABLE:
        return QINT_ERR_FILE_READ;
    default:
        return bad.status;
    }
}

} // namespace
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintAdminHealthEx(const QintKeyFileName *names, QintPairHealth *health)
{
    if (health == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    *health = QintPairHealth{};
    try {
        Judged judged;
        PairPaths paths;
        const std::uint64_t rc = JudgePair(names, judged, paths);
        *health = judged.health;
        return rc;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminRepairEx(const QintKeyFileName *names, uint32_t *repaired, QintPairHealth *health)
{
    if (repaired != nullptr) {
        *repaired = QINT_FILE_NONE;
    }
    try {
        Judged judged;
        PairPaths paths;
        std::uint64_t rc = JudgePair(names, judged, paths);
        if (health != nullptr) {
            *health = judged.health;
        }
        const QintPairHealth &h = judged.health;
        if (rc != 0 || h.inUse == QINT_FILE_NONE) {
            return rc != 0 ? rc : h.load;
        }
        const bool primaryBad = h.inUse == QINT_FILE_STANDBY;
        const QintCopyHealth &bad = primaryBad ? h.primary : h.standby;
        const QintCopyHealth &good = primaryBad ? h.standby : h.primary;
        if (bad.verdict == QINT_COPY_HEALTHY) {
            return 0;
        }
        if ((rc = MayRewrite(bad, good)) != 0) {
            return rc;
        }
        const Callbacks cb = RegisteredCallbacks();
        const std::string &path = primaryBad ? paths.primary : paths.standby;
        if (WriteStoreFile(cb, path.c_str(), judged.load.Trusted().bytes) != 0) {
            return QINT_ERR_FILE_WRITE;
        }
        cb.Log(QINT_LOG_NOTICE, "QintAdminRepairEx", 0, "rewrote %s from %s", path.c_str(),
               (primaryBad ? paths.standby : paths.primary).c_str());
        if (repaired != nullptr) {
            *repaired = primaryBad ? QINT_FILE_PRIMARY : QINT_FILE_STANDBY;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

} // extern "C"
