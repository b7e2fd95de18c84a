#include "protect/slot_types.h"

#include <iterator>

#include "protect/pkcs11/pkcs11_slot.h"
#include "protect/recovery/recovery_slot.h"
#include "protect/sealed_for/sealed_for_slot.h"
#include "protect/tpm2/tpm2_slot.h"

namespace zorv {
namespace {

constexpr std::uint32_t kHostKey = QINT_NEEDS_HOST_KEY;
constexpr std::uint32_t kTpm = QINT_NEEDS_TPM;
constexpr std::uint32_t kToken = QINT_NEEDS_TOKEN;
constexpr std::uint32_t kPassphrase = QINT_NEEDS_PASSPHRASE;

constexpr std::uint32_t kWritten = QINT_SLOT_WRITTEN;
constexpr std::uint32_t kProtects = QINT_SLOT_PROTECTS;
constexpr std::uint32_t kAddable = QINT_SLOT_ADDABLE;
constexpr std::uint32_t kTravels = QINT_SLOT_TRAVELS;

// In the order of the codes; the key tool lists names in this order.
constexpr SlotType kSlotTypes[] = {
    // {code, needs, uses, 0, name}, label, hostKeyInKey, importOnly, open, make, describe
    {{QINT_PROTECT_HOST, kHostKey, kWritten | kProtects | kAddable, 0, "host"},
     "zorv slot host v2", true, false, nullptr, nullptr, nullptr},
    {{QINT_PROTECT_TPM2, kTpm, kWritten | kProtects | kAddable, 0, "tpm2"},
     "zorv slot tpm2 v2", false, false, OpenTpm2Secret, MakeTpm2Secret, DescribeTpm2Slot},
    {{QINT_PROTECT_HOST_TPM2, kHostKey | kTpm, kWritten | kProtects | kAddable, 0, "host+tpm2"},
     "zorv slot host+tpm2 v2", true, false, OpenTpm2Secret, MakeTpm2Secret, DescribeTpm2Slot},
    {{QINT_PROTECT_RECOVERY, kPassphrase, kWritten | kAddable | kTravels, 0, "recovery"},
     "", false, false, OpenRecoverySecret, MakeRecoverySecret, nullptr},
    // A format-1 store's only protection, listed but never written.
    {{QINT_PROTECT_BUILTIN, 0, 0, 0, "builtin"}, "", false, false, nullptr, nullptr, nullptr},
    {{QINT_PROTECT_PKCS11, kToken, kWritten | kProtects | kAddable | kTravels, 0, "pkcs11"},
     "zorv slot pkcs11 v2", false, false, OpenPkcs11Secret, MakePkcs11Secret, DescribePkcs11Slot},
    // Made by export for one host; opened and replaced by import only.
    {{QINT_PROTECT_SEALED_FOR, kHostKey, kWritten, 0, "sealed-for"},
     "zorv slot sealed-for v2", false, true, OpenSealedForSecret, MakeSealedForSecret, nullptr},
};

constexpr bool InCodeOrder()
{
    for (std::size_t i = 0; i < std::size(kSlotTypes); ++i) {
        if (kSlotTypes[i].info.type != i + 1) {
            return false;
        }
    }
    return true;
}
static_assert(InCodeOrder(), "row i holds code i + 1");

} // namespace

const SlotType *FindSlotType(std::uint32_t code)
{
    return code >= 1 && code <= std::size(kSlotTypes) ? &kSlotTypes[code - 1] : nullptr;
}

bool SlotTypeIs(std::uint32_t code, std::uint32_t use)
{
    const SlotType *t = FindSlotType(code);
    return t != nullptr && t->is(use);
}

} // namespace zorv

extern "C" ZORV_API const QintSlotType *QintSlotTypeEx(uint32_t index)
{
    return index < std::size(zorv::kSlotTypes) ? &zorv::kSlotTypes[index].info : nullptr;
}
