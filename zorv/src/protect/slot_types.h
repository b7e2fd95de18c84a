// The slot types, one row each: the home of every fact about a type. The
// protector (protect/protector.cpp), the administration calls and, through
// QintSlotTypeEx, the key tool read these rows instead of testing types.
//
// How a slot opens: the type's open function recovers its secret from the
// slot's parameters (nothing for host: it has no secret of its own), and the
// slot key is HKDF(store salt; the host key when hostKeyInKey, then the
// secret) under the row's label, or the secret itself when the row has no
// label. The slot key opens the sealed root key (protect/slot.h).
//
// To add a type: a QINT_PROTECT_ value, a row in slot_types.cpp, and the
// open/make (and, if a listing shows more than the type, describe) functions
// in the type's folder.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/settings.h"
#include "protect/slot.h"
#include "zorv_admin.h"

namespace zorv {

// Recovers the slot secret from the slot's parameters. With cached (the
// slot cache already gave the secret) it only checks what must parse. 0 or
// why the slot does not open here.
using OpenSecretFn = std::uint64_t (*)(Salt salt, const Slot &slot, const Unlock &unlock, bool cached,
                                       Key32 &secret);
// Makes a new slot secret and the parameters (slot.params) that recover it;
// slot.type and slot.id are set. 0 or the cause.
using MakeSecretFn = std::uint64_t (*)(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot,
                                       Key32 &secret);
// Adds what a listing shows of a slot beyond its type and status.
using DescribeFn = void (*)(const Slot &slot, QintSlotInfo &info);

struct SlotType {
    QintSlotType info;     // code, needs (QINT_NEEDS_), uses (QINT_SLOT_), name
    std::string_view label; // HKDF label of the slot key; empty: the secret is the slot key
    bool hostKeyInKey;      // the host key file's key goes into the slot key
    bool importOnly;        // opens only in an import (Unlock::importOnly), and nothing else does then
    OpenSecretFn open;      // null: no secret of its own (the host key is all)
    MakeSecretFn make;
    DescribeFn describe;    // may be null

    std::uint32_t code() const { return info.type; }
    bool needs(std::uint32_t what) const { return (info.needs & what) != 0; }
    bool is(std::uint32_t use) const { return (info.uses & use) != 0; }
};

// The row of type code; null for a code that is no type.
const SlotType *FindSlotType(std::uint32_t code);

// Whether code is a type with use (QINT_SLOT_).
bool SlotTypeIs(std::uint32_t code, std::uint32_t use);

} // namespace zorv
