#include "protect/slot.h"

#include <openssl/evp.h>

namespace zorv {
namespace {

bool KnownType(std::uint8_t t)
{
    return t == QINT_PROTECT_HOST || t == QINT_PROTECT_TPM2 || t == QINT_PROTECT_HOST_TPM2 ||
           t == QINT_PROTECT_RECOVERY || t == QINT_PROTECT_PKCS11 || t == QINT_PROTECT_SEALED_FOR;
}

} // namespace

bool ReadSlot(ByteReader &r, Slot &out)
{
    out.type = r.U8();
    out.id = r.U8();
    const std::uint16_t n = r.U16();
    if (!r.ok() || !KnownType(out.type) || out.id == 0 || n > kMaxSlotParams) {
        return false;
    }
    const auto params = r.Take(n);
    out.params.assign(params.begin(), params.end());
    r.Copy(out.nonce);
    r.Copy(out.sealed);
    r.Copy(out.tag);
    return r.ok();
}

SecretBytes SlotAad(std::span<const std::uint8_t, 32> salt, const Slot &s)
{
    SecretBytes aad;
    aad.reserve(salt.size() + 4 + s.params.size());
    ByteWriter w(aad);
    w.Bytes(salt);
    w.U8(s.type);
    w.U8(s.id);
    w.U16(static_cast<std::uint16_t>(s.params.size()));
    w.Bytes(s.params);
    return aad;
}

bool SlotDigest(const Slot &s, std::span<const std::uint8_t> extra, std::span<std::uint8_t, 32> out)
{
    SecretBytes bytes;
    ByteWriter w(bytes);
    WriteSlot(w, s);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned int len = 0;
    const bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) == 1 &&
                    (extra.empty() || EVP_DigestUpdate(ctx, extra.data(), extra.size()) == 1) &&
                    EVP_DigestFinal_ex(ctx, out.data(), &len) == 1 && len == out.size();
    EVP_MD_CTX_free(ctx);
    return ok;
}

bool ParseTpmParams(const Slot &s, TpmParams &out)
{
    ByteReader r(s.params);
    out.pcrMask = r.U32();
    out.blob = r.Take(r.remaining());
    return r.ok() && !out.blob.empty() && (out.pcrMask >> 24) == 0;
}

bool ParseScryptParams(const Slot &s, ScryptParams &out)
{
    ByteReader r(s.params);
    out.log2N = r.U8();
    out.r = r.U32();
    out.p = r.U32();
    r.Copy(out.salt);
    // Bounds keep a tampered slot from asking for unbounded memory or time:
    // at most 2^20 * 16 * 128 bytes = 2 GiB would already be refused by the
    // memory limit of the derivation.
    return r.ok() && r.remaining() == 0 && out.log2N >= 10 && out.log2N <= 20 && out.r >= 1 && out.r <= 16 &&
           out.p >= 1 && out.p <= 4;
}

std::vector<std::uint8_t> EncodeScryptParams(const ScryptParams &p)
{
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U8(p.log2N);
    w.U32(p.r);
    w.U32(p.p);
    w.Bytes(p.salt);
    return out;
}

} // namespace zorv
