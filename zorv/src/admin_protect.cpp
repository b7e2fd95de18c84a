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
        const Unlock unlock = CurrentUnlock();
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
    if (!SlotTypeIs(protectType, QINT_SLOT_PROTECTS)) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    return Mutate(names, report, "QintAdminMigrateEx", true,
                  [&](const Callbacks &cb, const Unlock &unlock, StoreImage &image, bool &) {
                      // New salt and root: no copy of the old file, and no slot
                      // of it, opens the new one.
                      return NewProtection(cb, unlock, protectType, (flags & QINT_ADMIN_RECOVERY) != 0, image);
                  });
}

} // extern "C"
