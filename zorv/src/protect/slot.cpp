#include "protect/slot.h"

#include <openssl/evp.h>

#include "protect/slot_types.h"

namespace zorv {

bool ReadSlot(ByteReader &r, Slot &out)
{
    out.type = r.U8();
    out.id = r.U8();
    const std::uint16_t n = r.U16();
    if (!r.ok() || !SlotTypeIs(out.type, QINT_SLOT_WRITTEN) || out.id == 0 || n > kMaxSlotParams) {
        return false;
    }
    const auto params = r.Take(n);
    out.params.assign(params.begin(), params.end());
    r.Copy(out.nonce);
    r.Copy(out.sealed);
    r.Copy(out.tag);
    return r.ok();
}

SecretBytes SlotAad(Salt salt, const Slot &s)
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

} // namespace zorv
