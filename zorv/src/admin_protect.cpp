// Administration of a store's protector slots: list them with whether each
// opens here, add one, remove one, and migrate a store (a format-1 store
// included) to a new root key under new slots.
#include <algorithm>
#include <new>

#include "admin_common.h"
#include "failure_detail.h"
#include "protect/protector.h"
#include "protect/slot_types.h"
#include "registry.h"
#include "store_codec.h"

namespace zorv {
namespace {

// The lowest slot id no slot has.
std::uint32_t FreeId(const std::vector<Slot> &slots)
{
    std::uint32_t id = 1;
    while (std::any_of(slots.begin(), slots.end(), [&](const Slot &s) { return s.id == id; })) {
        ++id;
    }
    return id;
}

// Slots of a copy whose header parses, when no copy opens here.
bool ParsedSlots(const CopyCheck &c, StoreImage &image)
{
    StoreLayout layout;
    return !c.bytes.empty() && ParseStoreHeader(c.bytes, image, layout) == 0;
}

QintSlotInfo Describe(const StoreImage &image, const Slot &slot, const Unlock &unlock)
{
    QintSlotInfo info{};
    info.id = slot.id;
    info.type = slot.type;
    if (const SlotType *t = FindSlotType(slot.type); t != nullptr && t->describe != nullptr) {
        t->describe(slot, info);
    }
    Key32 root;
    ClearFailureDetail();
    info.status = OpenSlot(image.salt, slot, unlock, root);
    info.pcrChanged = info.status == QINT_ERR_TPM_PCR_CHANGED ? ChangedPcrs() : 0;
    return info;
}

} // namespace
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintAdminSlotsEx(const QintKeyFileName *names, QintSlotInfo *slots, uint32_t capacity,
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
        const Callbacks cb = RegisteredCallbacks();
        // Slots are listed whatever store the host pins: whether each opens
        // here is a question of keys (verify tells about trust).
        Unlock unlock = CurrentUnlock();
        unlock.ignorePin = true;
        PairLoad load = LoadReported(cb, paths, unlock, false, "QintAdminSlotsEx", report);
        StoreImage image;
        if (load.result == 0 || load.result == QINT_LOADED_RESTORED) {
            image = std::move(load.chosen == Chosen::Standby ? load.standby.image : load.primary.image);
        } else if (!IsProtectorFailure(load.result) ||
                   (!ParsedSlots(load.primary, image) && !ParsedSlots(load.standby, image))) {
            return load.result;
        }
        std::vector<QintSlotInfo> found;
        if (image.Builtin()) {
            QintSlotInfo builtin{};
            builtin.type = QINT_PROTECT_BUILTIN;
            found.push_back(builtin);
        }
        for (const Slot &s : image.slots) {
            found.push_back(Describe(image, s, unlock));
        }
        *count = static_cast<uint32_t>(found.size());
        if (slots == nullptr || capacity < found.size()) {
            return QINT_ERR_BUFFER_TOO_SMALL;
        }
        std::copy(found.begin(), found.end(), slots);
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminAddSlotEx(const QintKeyFileName *names, uint32_t type, uint32_t *slotId,
                                     QintAdminReport *report)
{
    if (slotId != nullptr) {
        *slotId = 0;
    }
    if (!SlotTypeIs(type, QINT_SLOT_ADDABLE)) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    return Mutate(names, report, "QintAdminAddSlotEx", false,
                  [&](const Callbacks &cb, const Unlock &unlock, StoreImage &image, bool &) -> std::uint64_t {
                      if (image.slots.size() >= kMaxSlots) {
                          return QINT_ERR_BAD_ARGUMENT;
                      }
                      std::uint8_t id = 0;
                      for (const Slot &s : image.slots) {
                          id = std::max(id, s.id);
                      }
                      if (id == 255) {
                          return QINT_ERR_BAD_ARGUMENT;
                      }
                      Slot slot;
                      const std::uint64_t rc = MakeSlot(cb, static_cast<std::uint8_t>(type), id + 1, image.salt,
                                                        image.root, unlock, slot);
                      if (rc != 0) {
                          return rc;
                      }
                      image.slots.push_back(std::move(slot));
                      if (slotId != nullptr) {
                          *slotId = id + 1u;
                      }
                      return 0;
                  });
}

ZORV_API uint64_t QintAdminRemoveSlotEx(const QintKeyFileName *names, uint32_t slotId, QintAdminReport *report)
{
    return Mutate(names, report, "QintAdminRemoveSlotEx", false,
                  [&](const Callbacks &, const Unlock &unlock, StoreImage &image, bool &) -> std::uint64_t {
                      const auto it = std::find_if(image.slots.begin(), image.slots.end(),
                                                   [&](const Slot &s) { return s.id == slotId; });
                      if (it == image.slots.end()) {
                          return QINT_ERR_NO_SUCH_SLOT;
                      }
                      std::vector<Slot> rest;
                      for (const Slot &s : image.slots) {
                          if (s.id != slotId) {
                              rest.push_back(s);
                          }
                      }
                      Key32 root;
                      const bool opens = std::any_of(rest.begin(), rest.end(), [&](const Slot &s) {
                          return OpenSlot(image.salt, s, unlock, root) == 0;
                      });
                      if (!opens) {
                          return QINT_ERR_LAST_SLOT;
                      }
                      image.slots = std::move(rest);
                      return 0;
                  });
}

ZORV_API uint64_t QintAdminMigrateEx(const QintKeyFileName *names, uint32_t protectType, uint32_t flags,
                                     QintAdminReport *report)
{
    return QintAdminMigrateKeepingEx(names, protectType, flags, nullptr, report);
}

ZORV_API uint64_t QintAdminMigrateKeepingEx(const QintKeyFileName *names, uint32_t protectType, uint32_t flags,
                                            QintMigrateOutcome *outcome, QintAdminReport *report)
{
    if (outcome != nullptr) {
        *outcome = QintMigrateOutcome{};
    }
    if (!SlotTypeIs(protectType, QINT_SLOT_PROTECTS)) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    QintMigrateOutcome out{};
    const bool recovery = (flags & QINT_ADMIN_RECOVERY) != 0;
    const std::uint64_t rc = Mutate(
        names, report, "QintAdminMigrateEx", true,
        [&](const Callbacks &cb, const Unlock &unlock, StoreImage &image, bool &) -> std::uint64_t {
            std::vector<Slot> kept;
            if (image.Builtin()) {
                out.before[out.beforeCount++] = QintSlotFate{0, QINT_PROTECT_BUILTIN, 0, 0};
            }
            for (const Slot &s : image.slots) {
                const SlotType *t = FindSlotType(s.type);
                const bool keep = (flags & QINT_ADMIN_KEEP_SLOTS) != 0 && t != nullptr && t->is(QINT_SLOT_TRAVELS) &&
                                  !(recovery && t->needs(QINT_NEEDS_PASSPHRASE));
                out.before[out.beforeCount++] = QintSlotFate{s.id, s.type, keep ? 1u : 0u, 0};
                if (keep) {
                    kept.push_back(s);
                }
            }
            if (kept.empty()) {
                // New salt and root: no copy of the old file, and no slot
                // of it, opens the new one.
                out.newSlot = 1;
                out.recoverySlot = recovery ? 2 : 0;
                return NewProtection(cb, unlock, protectType, recovery, image);
            }
            if (kept.size() + 1 + (recovery ? 1 : 0) > kMaxSlots) {
                return QINT_ERR_BAD_ARGUMENT;
            }
            // The kept slots' secrets are bound to the store's salt (a token
            // wraps its secret with it): the salt stays, the root key is new.
            Key32 root;
            if (!cb.Random(root.span())) {
                return QINT_ERR_RANDOM;
            }
            for (Slot &s : kept) {
                if (const std::uint64_t rc = ResealSlot(cb, image.salt, s, image.root, root, unlock); rc != 0) {
                    out.failedSlot = s.id;
                    return rc;
                }
            }
            // The host's own slot first: loads try slots in file order.
            std::vector<Slot> slots(1);
            out.newSlot = FreeId(kept);
            if (const std::uint64_t rc = MakeSlot(cb, static_cast<std::uint8_t>(protectType),
                                                  static_cast<std::uint8_t>(out.newSlot), image.salt, root, unlock,
                                                  slots[0]);
                rc != 0) {
                return rc;
            }
            slots.insert(slots.end(), kept.begin(), kept.end());
            if (recovery) {
                out.recoverySlot = FreeId(slots);
                Slot &r = slots.emplace_back();
                if (const std::uint64_t rc = MakeSlot(cb, QINT_PROTECT_RECOVERY,
                                                      static_cast<std::uint8_t>(out.recoverySlot), image.salt, root,
                                                      unlock, r);
                    rc != 0) {
                    return rc;
                }
            }
            image.slots = std::move(slots);
            image.root = root;
            return 0;
        });
    if (outcome != nullptr) {
        *outcome = out;
    }
    return rc;
}

} // extern "C"
