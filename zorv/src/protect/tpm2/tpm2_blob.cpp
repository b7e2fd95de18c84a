#include "protect/tpm2/tpm2_blob.h"

#include "crypto/byte_cursor.h"

#include <tss2/tss2_mu.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace zorv::tpm2 {
namespace {

constexpr std::uint8_t kUnboundVersion = 1;
constexpr std::uint8_t kBoundVersion = 2;

template <typename T>
using MarshalFn = TSS2_RC (*)(const T *, std::uint8_t[], std::size_t, std::size_t *);
template <typename T>
using UnmarshalFn = TSS2_RC (*)(const std::uint8_t[], std::size_t, std::size_t *, T *);

// One part as u16 length and marshalled bytes.
template <typename T>
bool PutPart(ByteWriter<> &w, const T &part, MarshalFn<T> marshal)
{
    std::array<std::uint8_t, sizeof(T)> buf{};
    std::size_t used = 0;
    if (marshal(&part, buf.data(), buf.size(), &used) != TSS2_RC_SUCCESS || used > 0xFFFF) {
        return false;
    }
    w.U16(static_cast<std::uint16_t>(used));
    w.Bytes(std::span(buf.data(), used));
    return true;
}

// Reads one part; it must fill its recorded length exactly.
template <typename T>
bool TakePart(ByteReader &r, T &part, UnmarshalFn<T> unmarshal)
{
    const std::uint16_t length = r.U16();
    const auto bytes = r.Take(length);
    if (!r.ok() || bytes.empty()) {
        return false;
    }
    std::size_t used = 0;
    return unmarshal(bytes.data(), bytes.size(), &used, &part) == TSS2_RC_SUCCESS && used == bytes.size();
}

// The policy the blob's fields give the object.
bool ExpectedPolicy(const SealedBlob &blob, PolicyDigest &policy)
{
    switch (blob.kind) {
    case PcrPolicyKind::literal: return PcrPolicyDigest(blob.pcrMask, blob.values, policy);
    case PcrPolicyKind::signed_: return AuthorizedPolicyDigest(blob.signerName, policy);
    case PcrPolicyKind::none: break;
    }
    return false;
}

// The shape Seal gives the object; anything else was not made here.
bool LooksSealed(const SealedBlob &blob, bool policyKnown)
{
    const TPMT_PUBLIC &p = blob.publicPart.publicArea;
    const bool bound = blob.pcrMask != 0;
    PolicyDigest expected{};
    const bool policyFits =
        !policyKnown || (ExpectedPolicy(blob, expected) && std::equal(expected.begin(), expected.end(),
                                                                       p.authPolicy.buffer,
                                                                       p.authPolicy.buffer + p.authPolicy.size));
    return p.type == TPM2_ALG_KEYEDHASH && p.nameAlg == TPM2_ALG_SHA256 &&
           p.parameters.keyedHashDetail.scheme.scheme == TPM2_ALG_NULL &&
           (p.objectAttributes & (TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_DECRYPT)) == 0 &&
           p.authPolicy.size == (bound ? TPM2_SHA256_DIGEST_SIZE : 0) &&
           ((p.objectAttributes & TPMA_OBJECT_USERWITHAUTH) != 0) == !bound && blob.privatePart.size != 0 &&
           policyFits;
}

// Version 2's policy fields.
bool TakePolicy(ByteReader &r, SealedBlob &blob)
{
    const std::uint8_t kind = r.U8();
    if (kind == static_cast<std::uint8_t>(PcrPolicyKind::literal)) {
        blob.kind = PcrPolicyKind::literal;
        for (std::uint32_t i = 0; i < kPcrCount; ++i) {
            if ((blob.pcrMask >> i) & 1u) {
                r.Copy(blob.values[i]);
            }
        }
        return r.ok();
    }
    if (kind == static_cast<std::uint8_t>(PcrPolicyKind::signed_)) {
        blob.kind = PcrPolicyKind::signed_;
        return r.Copy(blob.signerName) && blob.signerName[0] == (TPM2_ALG_SHA256 >> 8) &&
               blob.signerName[1] == (TPM2_ALG_SHA256 & 0xFF);
    }
    return false;
}

} // namespace

bool EncodeBlob(const SealedBlob &blob, std::vector<std::uint8_t> &out)
{
    std::vector<std::uint8_t> bytes;
    ByteWriter w(bytes);
    const bool bound = blob.kind != PcrPolicyKind::none;
    if (bound != (blob.pcrMask != 0)) {
        return false;
    }
    w.U8(bound ? kBoundVersion : kUnboundVersion);
    w.U32(blob.pcrMask);
    if (blob.kind == PcrPolicyKind::literal) {
        w.U8(static_cast<std::uint8_t>(blob.kind));
        for (std::uint32_t i = 0; i < kPcrCount; ++i) {
            if ((blob.pcrMask >> i) & 1u) {
                w.Bytes(blob.values[i]);
            }
        }
    } else if (blob.kind == PcrPolicyKind::signed_) {
        w.U8(static_cast<std::uint8_t>(blob.kind));
        w.Bytes(blob.signerName);
    }
    if (!PutPart<TPM2B_PUBLIC>(w, blob.publicPart, Tss2_MU_TPM2B_PUBLIC_Marshal) ||
        !PutPart<TPM2B_PRIVATE>(w, blob.privatePart, Tss2_MU_TPM2B_PRIVATE_Marshal)) {
        return false;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
}

bool DecodeBlob(std::span<const std::uint8_t> bytes, SealedBlob &blob)
{
    blob = SealedBlob{};
    ByteReader r(bytes);
    const std::uint8_t version = r.U8();
    blob.pcrMask = r.U32();
    const bool v2 = version == kBoundVersion;
    const bool ok = (version == kUnboundVersion || (v2 && blob.pcrMask != 0)) && blob.pcrMask < kPcrMaskLimit &&
                    (!v2 || TakePolicy(r, blob)) &&
                    TakePart<TPM2B_PUBLIC>(r, blob.publicPart, Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
                    TakePart<TPM2B_PRIVATE>(r, blob.privatePart, Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
                    r.ok() && r.remaining() == 0 && LooksSealed(blob, v2);
    if (!ok) {
        blob = SealedBlob{};
    }
    return ok;
}

} // namespace zorv::tpm2
