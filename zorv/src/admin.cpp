// Administration of a key-store pair: create, rotate, prune, list, verify,
// back up, and the protector slots (list, add, remove, migrate). Each works
// on the files alone; the loaded key table of this process, if any, is not
// touched.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>

#include "admin_common.h"
#include "domains.h"
#include "protect/protector.h"
#include "protect/settings.h"
#include "protect/slot_types.h"
#include "registry.h"
#include "store_codec.h"
#include "store_pair.h"
#include "zorv_admin.h"

namespace zorv {

bool ToPaths(const QintKeyFileName *names, PairPaths &paths)
{
    if (names == nullptr || names->primaryFile == nullptr || names->standbyFile == nullptr ||
        names->primaryFile[0] == '\0' || names->standbyFile[0] == '\0') {
        return false;
    }
    paths.primary = names->primaryFile;
    paths.standby = names->standbyFile;
    return true;
}

void Report(QintAdminReport *report, const CopyCheck &p, const CopyCheck &s, std::uint32_t failedFile)
{
    if (report != nullptr) {
        report->primaryStatus = p.status;
        report->standbyStatus = s.status;
        report->primaryCounter = p.counter;
        report->standbyCounter = s.counter;
        report->failedFile = failedFile;
        report->reserved = 0;
    }
}

PairLoad LoadReported(const Callbacks &cb, const PairPaths &paths, const Unlock &unlock, bool unwrap,
                      const char *caller, QintAdminReport *report)
{
    PairLoad load = LoadPair(cb, paths, unlock, false, unwrap, caller);
    Report(report, load.primary, load.standby, QINT_FILE_NONE);
    return load;
}

void ReportWrite(QintAdminReport *report, std::uint32_t failedFile)
{
    if (report != nullptr) {
        report->failedFile = failedFile;
        if (failedFile == QINT_FILE_PRIMARY) {
            report->primaryStatus = QINT_ERR_FILE_WRITE;
        } else if (failedFile == QINT_FILE_STANDBY) {
            report->standbyStatus = QINT_ERR_FILE_WRITE;
        }
    }
}

namespace {

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool NewKey(const Callbacks &cb, std::uint32_t domain, std::uint32_t keyId, KeyRecord &k)
{
    k.domain = domain;
    k.keyId = keyId;
    k.state = kKeyActive;
    k.created = Now();
    return cb.Random(k.key.span());
}

} // namespace

std::uint64_t Store(const Callbacks &cb, const PairPaths &paths, StoreImage &image, QintAdminReport *report,
                    SecretBytes *written)
{
    image.updated = Now();
    // A store first written by this version (a new one, or a format-2 one)
    // gets its identity now; every later write keeps it.
    if (!image.hasId) {
        if (!cb.Random(image.id)) {
            return QINT_ERR_RANDOM;
        }
        image.hasId = true;
    }
    image.version = kStoreVersion;
    SecretBytes bytes;
    std::uint64_t rc = EncodeStore(cb, image, bytes);
    if (rc != 0) {
        return rc;
    }
    std::uint32_t failed = QINT_FILE_NONE;
    rc = WritePair(cb, paths, bytes, failed);
    ReportWrite(report, failed);
    if (rc != 0) {
        cb.Log(QINT_LOG_FAILURE, "QintAdmin", rc, "could not write %s",
               failed == QINT_FILE_STANDBY ? paths.standby.c_str() : paths.primary.c_str());
    } else if (written != nullptr) {
        *written = std::move(bytes);
    }
    return rc;
}

std::uint64_t Mutate(const QintKeyFileName *names, QintAdminReport *report, const char *caller, bool builtinOk,
                     const Change &change, const Unlock &unlock, StoreImage *result)
{
    try {
        PairPaths paths;
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        const Callbacks cb = RegisteredCallbacks();
        PairLoad load = LoadReported(cb, paths, unlock, true, caller, report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        StoreImage image = std::move(load.chosen == Chosen::Standby ? load.standby.image : load.primary.image);
        if (image.Builtin() && !builtinOk) {
            return QINT_ERR_BUILTIN_ONLY;
        }
        bool write = true;
        std::uint64_t rc = change(cb, unlock, image, write);
        if (rc != 0 || !write) {
            return rc;
        }
        image.counter = std::max(load.primary.counter, load.standby.counter) + 1;
        rc = Store(cb, paths, image, report);
        if (rc == 0 && result != nullptr) {
            *result = std::move(image);
        }
        return rc;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

namespace {

std::uint64_t RotateDomain(const Callbacks &cb, StoreImage &image, std::uint32_t domain)
{
    std::uint32_t maxId = 0;
    KeyRecord *active = nullptr;
    for (KeyRecord &k : image.keys) {
        if (k.domain == domain) {
            maxId = std::max(maxId, k.keyId);
            if (k.state == kKeyActive) {
                active = &k;
            }
        }
    }
    if (maxId == UINT32_MAX) {
        return QINT_ERR_KEY_IDS_EXHAUSTED;
    }
    if (active != nullptr) {
        active->state = kKeyRetired;
        active->changed = Now();
    }
    KeyRecord &fresh = image.keys.emplace_back();
    return NewKey(cb, domain, maxId + 1, fresh) ? 0 : QINT_ERR_RANDOM;
}

} // namespace

std::uint64_t NewProtection(const Callbacks &cb, const Unlock &unlock, std::uint32_t type, bool recovery,
                            StoreImage &image)
{
    image.version = kStoreVersion;
    image.slots.clear();
    if (!cb.Random(image.salt) || !cb.Random(image.root.span())) {
        return QINT_ERR_RANDOM;
    }
    image.slots.resize(recovery ? 2 : 1);
    std::uint64_t rc = MakeSlot(cb, static_cast<std::uint8_t>(type), 1, image.salt, image.root, unlock, image.slots[0]);
    if (rc == 0 && recovery) {
        rc = MakeSlot(cb, QINT_PROTECT_RECOVERY, 2, image.salt, image.root, unlock, image.slots[1]);
    }
    return rc;
}

std::uint64_t CounterOf(const CopyCheck &c)
{
    std::uint64_t counter = 0;
    return c.status == 0 ? c.counter : PeekCounter(c.bytes, counter) ? counter : 0;
}
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintAdminCreateProtectedEx(const QintKeyFileName *names, uint32_t flags, uint32_t protectType,
                                             QintAdminReport *report)
{
    try {
        PairPaths paths;
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        if (!SlotTypeIs(protectType, QINT_SLOT_PROTECTS)) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        const CopyCheck p = CheckCopy(cb, paths.primary, unlock, false);
        const CopyCheck s = CheckCopy(cb, paths.standby, unlock, false);
        const bool pExists = p.status != QINT_ERR_FILE_MISSING;
        const bool sExists = s.status != QINT_ERR_FILE_MISSING;
        Report(report, p, s, QINT_FILE_NONE);
        if ((flags & QINT_ADMIN_FORCE) == 0 && (pExists || sExists)) {
            ReportWrite(report, pExists ? QINT_FILE_PRIMARY : QINT_FILE_STANDBY);
            if (report != nullptr) {
                (pExists ? report->primaryStatus : report->standbyStatus) = QINT_ERR_EXISTS;
            }
            return QINT_ERR_EXISTS;
        }
        StoreImage image;
        // A forced re-creation still counts upwards, so a stale copy of the
        // old store never looks newer than the new one.
        image.counter = std::max(CounterOf(p), CounterOf(s)) + 1;
        image.created = Now();
        if (const std::uint64_t rc =
                NewProtection(cb, unlock, protectType, (flags & QINT_ADMIN_RECOVERY) != 0, image);
            rc != 0) {
            return rc;
        }
        image.keys.reserve(kDomainIds.size());
        for (std::uint32_t domain : kDomainIds) {
            if (!NewKey(cb, domain, 1, image.keys.emplace_back())) {
                return QINT_ERR_RANDOM;
            }
        }
        return Store(cb, paths, image, report);
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminCreateEx(const QintKeyFileName *names, uint32_t flags, QintAdminReport *report)
{
    return QintAdminCreateProtectedEx(names, flags & QINT_ADMIN_FORCE, QINT_PROTECT_HOST, report);
}

ZORV_API uint64_t QintAdminRotateEx(const QintKeyFileName *names, uint32_t domain, QintAdminReport *report)
{
    if (domain != QINT_ALL_DOMAINS && DomainIndex(domain) < 0) {
        return QINT_ERR_UNKNOWN_DOMAIN;
    }
    return Mutate(names, report, "QintAdminRotateEx", false,
                  [domain](const Callbacks &cb, const Unlock &, StoreImage &image, bool &) {
        if (domain != QINT_ALL_DOMAINS) {
            return RotateDomain(cb, image, domain);
        }
        for (std::uint32_t d : kDomainIds) {
            if (const std::uint64_t rc = RotateDomain(cb, image, d); rc != 0) {
                return rc;
            }
        }
        return std::uint64_t{0};
    });
}

ZORV_API uint64_t QintAdminPruneEx(const QintKeyFileName *names, uint32_t keep, uint32_t *removed,
                                   QintAdminReport *report)
{
    if (removed != nullptr) {
        *removed = 0;
    }
    return Mutate(names, report, "QintAdminPruneEx", false,
                  [&](const Callbacks &, const Unlock &, StoreImage &image, bool &write) {
        std::vector<KeyRecord> kept;
        kept.reserve(image.keys.size());
        std::uint32_t dropped = 0;
        for (std::uint32_t d : kDomainIds) {
            std::vector<const KeyRecord *> retired;
            for (const KeyRecord &k : image.keys) {
                if (k.domain != d) {
                    continue;
                }
                if (k.state == kKeyActive) {
                    kept.push_back(k);
                } else {
                    retired.push_back(&k);
                }
            }
            std::sort(retired.begin(), retired.end(),
                      [](const KeyRecord *a, const KeyRecord *b) { return a->keyId > b->keyId; });
            for (std::size_t i = 0; i < retired.size(); ++i) {
                if (i < keep) {
                    kept.push_back(*retired[i]);
                } else {
                    ++dropped;
                }
            }
        }
        image.keys.swap(kept); // the dropped keys are wiped with `kept`
        write = dropped != 0;
        if (removed != nullptr) {
            *removed = dropped;
        }
        return std::uint64_t{0};
    });
}

ZORV_API uint64_t QintAdminListEx(const QintKeyFileName *names, QintKeyInfo *keys, uint32_t capacity, uint32_t *count,
                                  QintStoreInfo *info, QintAdminReport *report)
{
    try {
        PairPaths paths;
        if (count == nullptr) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        const Callbacks cb = RegisteredCallbacks();
        PairLoad load = LoadReported(cb, paths, CurrentUnlock(), false, "QintAdminListEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        StoreImage &image = load.chosen == Chosen::Standby ? load.standby.image : load.primary.image;
        std::sort(image.keys.begin(), image.keys.end(), [](const KeyRecord &a, const KeyRecord &b) {
            const int da = DomainIndex(a.domain);
            const int db = DomainIndex(b.domain);
            return da != db ? da < db : a.keyId < b.keyId;
        });
        if (info != nullptr) {
            info->version = image.version;
            info->keyCount = static_cast<uint32_t>(image.keys.size());
            info->updateCounter = image.counter;
            info->created = image.created;
            info->updated = image.updated;
        }
        *count = static_cast<uint32_t>(image.keys.size());
        if (keys == nullptr || capacity < image.keys.size()) {
            return QINT_ERR_BUFFER_TOO_SMALL;
        }
        for (std::size_t i = 0; i < image.keys.size(); ++i) {
            const KeyRecord &k = image.keys[i];
            keys[i] = QintKeyInfo{k.domain, k.keyId, k.state, 0, k.created};
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminStoreIdEx(const QintKeyFileName *names, unsigned char id[16], uint64_t *counter,
                                     QintAdminReport *report)
{
    try {
        PairPaths paths;
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        if (id == nullptr || counter == nullptr) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        Unlock unlock = CurrentUnlock();
        unlock.ignorePin = true;
        const PairLoad load = LoadReported(RegisteredCallbacks(), paths, unlock, false, "QintAdminStoreIdEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        const StoreImage &image = load.chosen == Chosen::Standby ? load.standby.image : load.primary.image;
        std::memset(id, 0, 16);
        if (image.hasId) {
            std::memcpy(id, image.id.data(), image.id.size());
        }
        *counter = load.Trusted().counter;
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminAdoptEx(const QintKeyFileName *names, unsigned char id[16], uint64_t *counter,
                                   QintAdminReport *report)
{
    if (id == nullptr || counter == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    Unlock unlock = CurrentUnlock();
    unlock.ignorePin = true;
    StoreImage adopted;
    const std::uint64_t rc = Mutate(
        names, report, "QintAdminAdoptEx", false,
        [](const Callbacks &, const Unlock &, StoreImage &, bool &) { return std::uint64_t{0}; }, unlock, &adopted);
    if (rc == 0) {
        std::memcpy(id, adopted.id.data(), adopted.id.size());
        *counter = adopted.counter;
    }
    return rc;
}

ZORV_API uint64_t QintAdminVerifyEx(const QintKeyFileName *names, QintAdminReport *report)
{
    try {
        PairPaths paths;
        if (!ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        // Checked as a load checks them (the host's rules included), nothing
        // restored.
        const PairLoad load = LoadPair(cb, paths, unlock, false, true, "QintAdminVerifyEx");
        const CopyCheck &p = load.primary;
        const CopyCheck &s = load.standby;
        if (p.status != 0) {
            Report(report, p, s, QINT_FILE_PRIMARY);
            return p.status;
        }
        if (s.status != 0) {
            Report(report, p, s, QINT_FILE_STANDBY);
            return s.status;
        }
        if (p.bytes != s.bytes) {
            // The copy a load would replace is the one called wrong.
            Report(report, p, s, s.counter > p.counter ? QINT_FILE_PRIMARY : QINT_FILE_STANDBY);
            return QINT_ERR_COPIES_DIFFER;
        }
        Report(report, p, s, QINT_FILE_NONE);
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminBackupEx(const QintKeyFileName *names, const QintKeyFileName *target,
                                    QintAdminReport *report)
{
    try {
        PairPaths paths;
        PairPaths targetPaths;
        if (!ToPaths(names, paths) || !ToPaths(target, targetPaths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        const Callbacks cb = RegisteredCallbacks();
        PairLoad load = LoadReported(cb, paths, CurrentUnlock(), true, "QintAdminBackupEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        std::uint32_t failed = QINT_FILE_NONE;
        const std::uint64_t rc = WritePair(cb, targetPaths, load.Trusted().bytes, failed);
        if (report != nullptr) {
            report->failedFile = failed;
        }
        return rc;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

} // extern "C"
