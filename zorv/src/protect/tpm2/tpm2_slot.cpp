#include "protect/tpm2/tpm2_slot.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "crypto/byte_cursor.h"
#include "failure_detail.h"
#include "protect/tpm2/tpm2_blob.h"
#include "trust/tpm2_policies.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

std::string SlotName(const Slot &slot) { return "tpm2 slot " + std::to_string(slot.id); }

// What the operator needs to look at when a PCR-bound slot does not open:
// the PCRs that changed, the installed policy that came closest, the policy
// file.
void NoteTpmFailure(const Slot &slot, const tpm2::SealedBlob &sealed, tpm2::Status st,
                    const tpm2::UnsealReport &report, const std::string &policyFile)
{
    const bool signedPolicy = sealed.kind == tpm2::PcrPolicyKind::signed_;
    switch (st) {
    case tpm2::Status::pcrChanged:
        NoteChangedPcrs(report.changedPcrs);
        if (report.changedPcrs == 0) {
            NoteFailureDetail(SlotName(slot) + ": PCR " + PcrIndexList(sealed.pcrMask) + " changed");
        } else if (signedPolicy && report.policy != nullptr) {
            NoteFailureDetail(SlotName(slot) + ": PCR " + PcrIndexList(report.changedPcrs) +
                              " differ from the closest installed signed policy, " + PolicyId(*report.policy) +
                              " in " + policyFile);
        } else {
            NoteFailureDetail(SlotName(slot) + ": PCR " + PcrIndexList(report.changedPcrs) +
                              " differ from the values it was sealed to");
        }
        return;
    case tpm2::Status::noPolicy:
        NoteFailureDetail(SlotName(slot) + ": no policy signed by " + SignerId(sealed.signerName) + " for PCR " +
                          PcrIndexList(sealed.pcrMask) + " in " + policyFile);
        return;
    case tpm2::Status::policyRefused:
        NoteFailureDetail(SlotName(slot) + ": the TPM refused the signer's key or signature of policy " +
                          (report.policy != nullptr ? PolicyId(*report.policy) : std::string("?")) + " in " +
                          policyFile);
        return;
    default:
        return;
    }
}

// The policies a signed slot may open through: those root installed. A
// failure is remembered until, among others, this file changes (a policy
// installed for the new values mends it).
std::uint64_t InstalledFor(const tpm2::SealedBlob &sealed, InstalledPolicies &installed)
{
    if (sealed.kind != tpm2::PcrPolicyKind::signed_) {
        return 0;
    }
    installed = ReadInstalledPolicies();
    NoteWatchedFile(installed.path);
    if (installed.status == ConfigStatus::unsafe || installed.status == ConfigStatus::unreadable) {
        NoteFailureDetail(installed.detail);
        return QINT_ERR_HOST_CONFIG;
    }
    return 0;
}

std::uint64_t Unseal(const Slot &slot, std::span<const std::uint8_t> blob, Key32 &secret)
{
    tpm2::SealedBlob sealed;
    if (!tpm2::DecodeBlob(blob, sealed)) {
        return FromTpm(tpm2::Status::badBlob);
    }
    InstalledPolicies installed;
    if (const std::uint64_t rc = InstalledFor(sealed, installed); rc != 0) {
        return rc;
    }
    tpm2::UnsealReport report;
    const tpm2::Status st = tpm2::Unseal(blob, installed.policies, secret.span(), report);
    if (st != tpm2::Status::ok) {
        NoteTpmFailure(slot, sealed, st, report, installed.path);
    }
    return FromTpm(st);
}

} // namespace

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
    case tpm2::Status::noPolicy: return QINT_ERR_TPM_NO_POLICY;
    case tpm2::Status::policyRefused: return QINT_ERR_TPM_POLICY_REFUSED;
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
    return cached ? 0 : Unseal(slot, p.blob, secret);
}

std::uint64_t MakeTpm2Secret(const Callbacks &cb, Salt, const Unlock &unlock, Slot &slot, Key32 &secret)
{
    std::vector<std::uint8_t> blob;
    if (!cb.Random(secret.span())) {
        return QINT_ERR_RANDOM;
    }
    const tpm2::Status st = unlock.tpm2Signer ? tpm2::SealSigned(secret.span(), unlock.pcrMask, *unlock.tpm2Signer, blob)
                                              : tpm2::Seal(secret.span(), unlock.pcrMask, blob);
    if (const std::uint64_t rc = FromTpm(st); rc != 0) {
        return rc;
    }
    if (unlock.tpm2Signer) {
        // A slot no installed policy opens would lock the store out until
        // one is signed: it is made only when one opens it now.
        Key32 check;
        if (const std::uint64_t rc = Unseal(slot, blob, check); rc != 0) {
            return rc;
        }
        if (CRYPTO_memcmp(check.data(), secret.data(), secret.size()) != 0) {
            return QINT_ERR_TPM;
        }
    }
    ByteWriter w(slot.params);
    w.U32(unlock.pcrMask);
    w.Bytes(blob);
    return 0;
}

void DescribeTpm2Slot(const Slot &slot, QintSlotInfo &info)
{
    TpmParams tpm;
    tpm2::SealedBlob sealed;
    if (!ParseTpmParams(slot, tpm)) {
        return;
    }
    info.pcrMask = tpm.pcrMask;
    if (tpm2::DecodeBlob(tpm.blob, sealed) && sealed.kind == tpm2::PcrPolicyKind::signed_) {
        const std::string id = SignerId(sealed.signerName);
        std::copy_n(id.c_str(), std::min(id.size() + 1, sizeof info.signer), info.signer);
        info.signer[sizeof info.signer - 1] = '\0';
    }
}

} // namespace zorv

extern "C" ZORV_API uint64_t QintTpm2PcrValuesEx(uint32_t mask, unsigned char values[24][32])
{
    if (values == nullptr || mask == 0 || mask >= zorv::tpm2::kPcrMaskLimit) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    zorv::PcrValues read{};
    const std::uint64_t rc = zorv::FromTpm(zorv::tpm2::ReadPcrs(mask, read));
    for (std::size_t i = 0; i < read.size(); ++i) {
        std::copy(read[i].begin(), read[i].end(), values[i]);
    }
    return rc;
}
