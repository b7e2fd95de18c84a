// The stored form of a sealed object: what the key store keeps in a tpm2
// slot. Version 1 is
//   u8  version (1)
//   u32 PCR mask, little-endian (bit i = SHA-256 PCR i, 0..23)
//   u16 length, then the object's TPM2B_PUBLIC in the TPM's marshalled form
//   u16 length, then the object's TPM2B_PRIVATE in the TPM's marshalled form
// and nothing after. The private part is encrypted to the primary key of the
// TPM that made it, so the blob carries no secret readable off that TPM.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <cstdint>
#include <span>
#include <vector>

namespace zorv::tpm2 {

struct SealedBlob {
    std::uint32_t pcrMask = 0;
    TPM2B_PUBLIC publicPart{};
    TPM2B_PRIVATE privatePart{};
};

inline constexpr std::uint32_t kPcrMaskLimit = 1u << 24;

// Appends the serialised blob to out; false when a part does not marshal
// (out is then left as it was).
bool EncodeBlob(const SealedBlob &blob, std::vector<std::uint8_t> &out);

// Parses bytes into blob; false, with blob zeroed, unless bytes are exactly
// one version-1 blob whose parts unmarshal to their full recorded lengths
// and describe a sealed-data object of the shape Seal makes (policy present
// exactly when PCRs are bound).
bool DecodeBlob(std::span<const std::uint8_t> bytes, SealedBlob &blob);

} // namespace zorv::tpm2
