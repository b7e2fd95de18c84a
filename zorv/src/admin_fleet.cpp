// Administration across hosts: this host's identity, a copy of a store
// sealed for another host (export), and taking such a copy in (import).
#include <algorithm>
#include <cstring>
#include <new>

#include "admin_common.h"
#include "protect/host/host_key.h"
#include "protect/protector.h"
#include "protect/sealed_for/sealed_for.h"
#include "protect/sealed_for/sealed_for_slot.h"
#include "protect/slot_types.h"
#include "registry.h"
#include "store_codec.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

std::uint8_t FreeId(const std::vector<Slot> &slots)
{
    for (unsigned id = 1; id <= 255; ++id) {
        if (std::none_of(slots.begin(), slots.end(), [&](const Slot &s) { return s.id == id; })) {
            return static_cast<std::uint8_t>(id);
        }
    }
    return 0;
}

// The copy's own verdict when it is not whole: the cause of the first bad
// file (report names it), or that the two files differ.
std::uint64_t CopyVerdict(const PairLoad &load, QintAdminReport *report)
{
    if (load.primary.status != 0) {
        ReportWrite(report, QINT_FILE_PRIMARY);
        if (report != nullptr) {
            report->primaryStatus = load.primary.status;
        }
        return load.primary.status;
    }
    if (load.standby.status != 0) {
        ReportWrite(report, QINT_FILE_STANDBY);
        if (report != nullptr) {
            report->standbyStatus = load.standby.status;
        }
        return load.standby.status;
    }
    return QINT_ERR_COPIES_DIFFER;
}

} // namespace
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintHostIdEx(char *text, size_t capacity)
{
    try {
        if (text == nullptr || capacity == 0) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        text[0] = '\0';
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        bool created = false;
        if (const std::uint64_t rc = EnsureHostKey(cb, unlock.hostKeyPath, created); rc != 0) {
            return rc;
        }
        std::string line;
        if (const std::uint64_t rc = HostIdText(unlock, line); rc != 0) {
            return rc;
        }
        if (line.size() >= capacity) {
            return QINT_ERR_BUFFER_TOO_SMALL;
        }
        std::memcpy(text, line.c_str(), line.size() + 1);
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminExportEx(const QintKeyFileName *names, const char *hostId, const QintKeyFileName *target,
                                    QintAdminReport *report)
{
    try {
        PairPaths paths;
        PairPaths out;
        if (!ToPaths(names, paths) || !ToPaths(target, out)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        Unlock unlock = CurrentUnlock();
        if (hostId == nullptr || sealed::ParseHostId(hostId, unlock.recipient) != sealed::Status::ok) {
            return QINT_ERR_BAD_HOST_ID;
        }
        unlock.hasRecipient = true;
        const Callbacks cb = RegisteredCallbacks();
        PairLoad load = LoadReported(cb, paths, unlock, true, "QintAdminExportEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        StoreImage image = std::move(load.chosen == Chosen::Standby ? load.standby.image : load.primary.image);
        if (image.version != kStoreVersion) {
            return QINT_ERR_BUILTIN_ONLY;
        }
        std::vector<Slot> slots;
        for (const Slot &s : image.slots) {
            if (SlotTypeIs(s.type, QINT_SLOT_TRAVELS)) {
                slots.push_back(s);
            }
        }
        // First in file order: the target host tries it before any token.
        Slot seal;
        if (const std::uint64_t rc = MakeSlot(cb, QINT_PROTECT_SEALED_FOR, FreeId(slots), image.salt, image.root,
                                              unlock, seal);
            rc != 0) {
            return rc;
        }
        slots.insert(slots.begin(), std::move(seal));
        image.slots = std::move(slots);
        image.counter = std::max(load.primary.counter, load.standby.counter);
        return Store(cb, out, image, report);
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminImportEx(const QintKeyFileName *source, const QintKeyFileName *names,
                                    uint32_t protectType, uint32_t flags, QintAdminReport *report)
{
    try {
        PairPaths from;
        PairPaths paths;
        if (!ToPaths(source, from) || !ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        if (!SlotTypeIs(protectType, QINT_SLOT_PROTECTS)) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        PairLoad load = LoadReported(cb, from, unlock, true, "QintAdminImportEx", report);
        if (load.result == QINT_LOADED_RESTORED) {
            return CopyVerdict(load, report); // a carried copy must arrive whole
        }
        if (load.result != 0) {
            return load.result;
        }
        StoreImage image = std::move(load.primary.image);
        const auto opened = std::find_if(image.slots.begin(), image.slots.end(),
                                         [&](const Slot &s) { return s.id == image.openedSlot; });
        if (image.version != kStoreVersion || opened == image.slots.end() ||
            opened->type != QINT_PROTECT_SEALED_FOR) {
            return QINT_ERR_NOT_THIS_HOST;
        }
        const CopyCheck p = CheckCopy(cb, paths.primary, unlock, false);
        const CopyCheck s = CheckCopy(cb, paths.standby, unlock, false);
        const bool pExists = p.status != QINT_ERR_FILE_MISSING;
        const bool sExists = s.status != QINT_ERR_FILE_MISSING;
        if ((flags & QINT_ADMIN_FORCE) == 0 && (pExists || sExists)) {
            ReportWrite(report, pExists ? QINT_FILE_PRIMARY : QINT_FILE_STANDBY);
            return QINT_ERR_EXISTS;
        }
        std::vector<Slot> slots;
        for (const Slot &slot : image.slots) {
            if (SlotTypeIs(slot.type, QINT_SLOT_TRAVELS)) {
                slots.push_back(slot);
            }
        }
        Slot own;
        if (const std::uint64_t rc = MakeSlot(cb, static_cast<std::uint8_t>(protectType), FreeId(slots), image.salt,
                                              image.root, unlock, own);
            rc != 0) {
            return rc;
        }
        slots.insert(slots.begin(), std::move(own));
        image.slots = std::move(slots);
        // Newer than whatever was installed, so no stale copy wins a load.
        image.counter = std::max({image.counter, CounterOf(p), CounterOf(s)}) + 1;
        return Store(cb, paths, image, report);
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

} // extern "C"
