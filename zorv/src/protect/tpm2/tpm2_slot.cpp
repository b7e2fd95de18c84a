#include "protect/tpm2/tpm2_slot.h"

#include "crypto/byte_cursor.h"
#include "zorv_admin.h"

namespace zorv {

bool ParseTpmParams(const Slot &s, TpmParams &out)
{
    ByteReader r(s.params);
    out.pcrMask = r.U32();
    out.blob = r.Take(r.remaining());
    return r.ok() && !out.blob.empty() && (out.pcrMask >> 24) == 0;
}

std::uint64_t FromTpm(tpm2::Status s)
{
    switch (s) {
    case tpm2::Status::ok: return 0;
    case tpm2::Status::noTpm: return QINT_ERR_TPM_UNREACHABLE;
    case tpm2::Status::notThisTpm:
    case tpm2::Status::badBlob: return QINT_ERR_TPM_NOT_THIS;
    case tpm2::Status::pcrChanged: return QINT_ERR_TPM_PCR_CHANGED;
    case tpm2::Status::failure: break;
    }
    return QINT_ERR_TPM;
}

std::uint64_t OpenTpm2Secret(Salt, const Slot &slot, const Unlock &, bool cached, Key32 &secret)
{
    TpmParams p;
    if (!ParseTpmParams(slot, p)) {
        return QINT_ERR_BAD_CONTENT;
    }
    return cached ? 0 : FromTpm(tpm2::Unseal(p.blob, secret.span()));
}

std::uint64_t MakeTpm2Secret(const Callbacks &cb, Salt, const Unlock &unlock, Slot &slot, Key32 &secret)
{
    std::vector<std::uint8_t> blob;
    if (!cb.Random(secret.span())) {
        return QINT_ERR_RANDOM;
    }
    if (const std::uint64_t rc = FromTpm(tpm2::Seal(secret.span(), unlock.pcrMask, blob)); rc != 0) {
        return rc;
    }
    ByteWriter w(slot.params);
    w.U32(unlock.pcrMask);
    w.Bytes(blob);
    return 0;
}

void DescribeTpm2Slot(const Slot &slot, QintSlotInfo &info)
{
    TpmParams tpm;
    if (ParseTpmParams(slot, tpm)) {
        info.pcrMask = tpm.pcrMask;
    }
}

} // namespace zorv
