#include "protect/tpm2/tpm2_blob.h"

#include "crypto/byte_cursor.h"

#include <tss2/tss2_mu.h>

#include <array>
#include <cstring>

namespace zorv::tpm2 {
namespace {

constexpr std::uint8_t kBlobVersion = 1;

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

// The shape Seal gives the object; anything else was not made here.
bool LooksSealed(const SealedBlob &blob)
{
    const TPMT_PUBLIC &p = blob.publicPart.publicArea;
    const bool bound = blob.pcrMask != 0;
    return p.type == TPM2_ALG_KEYEDHASH && p.nameAlg == TPM2_ALG_SHA256 &&
           p.parameters.keyedHashDetail.scheme.scheme == TPM2_ALG_NULL &&
           (p.objectAttributes & (TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_DECRYPT)) == 0 &&
           p.authPolicy.size == (bound ? TPM2_SHA256_DIGEST_SIZE : 0) &&
           ((p.objectAttributes & TPMA_OBJECT_USERWITHAUTH) != 0) == !bound &&
           blob.privatePart.size != 0;
}

} // namespace

bool EncodeBlob(const SealedBlob &blob, std::vector<std::uint8_t> &out)
{
    std::vector<std::uint8_t> bytes;
    ByteWriter w(bytes);
    w.U8(kBlobVersion);
    w.U32(blob.pcrMask);
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
    const bool ok = r.U8() == kBlobVersion && (blob.pcrMask = r.U32()) < kPcrMaskLimit &&
                    TakePart<TPM2B_PUBLIC>(r, blob.publicPart, Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
                    TakePart<TPM2B_PRIVATE>(r, blob.privatePart, Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
                    r.ok() && r.remaining() == 0 && LooksSealed(blob);
    if (!ok) {
        blob = SealedBlob{};
    }
    return ok;
}

} // namespace zorv::tpm2
