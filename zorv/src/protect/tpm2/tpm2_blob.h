// The stored form of a sealed object: what the key store keeps in a tpm2
// slot. Version 1 (an object bound to no PCR; before, any object) is
//   u8  version (1)
//   u32 PCR mask, little-endian (bit i = SHA-256 PCR i, 0..23)
//   u16 length, then the object's TPM2B_PUBLIC in the TPM's marshalled form
//   u16 length, then the object's TPM2B_PRIVATE in the TPM's marshalled form
// and nothing after. Version 2 (an object bound to PCRs) is
//   u8  version (2)
//   u32 PCR mask, not 0
//   u8  policy: 1 the PCR values below; 2 PCR values signed by the key below
//   policy 1: 32 bytes per bound PCR, ascending: the values sealed to
//   policy 2: 34 bytes: the signer's key name (trust/pcr_policy.h)
//   the two parts as in version 1.
// The object's policy must be the one those fields give, so the recorded
// values (which name the PCRs that changed when it no longer opens) and the
// signer's name are as trustworthy as the object itself. The private part is
// encrypted to the primary key of the TPM that made it, so the blob carries
// no secret readable off that TPM.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include "trust/pcr_policy.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zorv::tpm2 {

enum class PcrPolicyKind : std::uint8_t {
    none = 0,    // no PCR binding (version 1)
    literal = 1, // the values recorded here
    signed_ = 2, // values signed by the key named here
};

struct SealedBlob {
    std::uint32_t pcrMask = 0;
    PcrPolicyKind kind = PcrPolicyKind::none;
    PcrValues values{};  // literal: the values sealed to
    KeyName signerName{}; // signed
    TPM2B_PUBLIC publicPart{};
    TPM2B_PRIVATE privatePart{};
};

inline constexpr std::uint32_t kPcrMaskLimit = 1u << 24;

// Appends the serialised blob to out; false when a part does not marshal
// (out is then left as it was).
bool EncodeBlob(const SealedBlob &blob, std::vector<std::uint8_t> &out);

// Parses bytes into blob; false, with blob zeroed, unless bytes are exactly
// one blob whose parts unmarshal to their full recorded lengths and describe
// a sealed-data object of the shape Seal makes (policy present exactly when
// PCRs are bound: version 1 with a mask is an object sealed before values
// were recorded, its policy unchecked; version 2's is the fields' own).
bool DecodeBlob(std::span<const std::uint8_t> bytes, SealedBlob &blob);

} // namespace zorv::tpm2
