// Sealing and unsealing through the ESAPI. Every call connects, creates the
// owner hierarchy's ECC P-256 storage primary (the same key each time, as it
// derives from the hierarchy's seed and a fixed template), works under it and
// leaves no transient handle behind.
//
// The secret travels to and from the TPM only inside sessions salted to that
// primary key with AES-128-CFB parameter encryption, so the bus or the TCTI's
// socket never carries it in the clear.
#include "protect/tpm2/tpm2_seal.h"

#include "crypto/secret.h"
#include "protect/tpm2/tpm2_blob.h"
#include "protect/tpm2/tpm2_esys.h"

#include <openssl/crypto.h>
#include <tss2/tss2_sys.h>

#include <algorithm>
#include <cstring>

namespace zorv::tpm2 {
namespace {

constexpr TPMT_SYM_DEF kSessionCipher{
    .algorithm = TPM2_ALG_AES, .keyBits = {.aes = 128}, .mode = {.aes = TPM2_ALG_CFB}};
constexpr TPMT_SYM_DEF kNoCipher{.algorithm = TPM2_ALG_NULL, .keyBits = {}, .mode = {}};

// The storage-key template: restricted decryption key, P-256, AES-128-CFB
// for its children, no authorisation value.
TPM2B_PUBLIC PrimaryTemplate()
{
    TPM2B_PUBLIC t{};
    TPMT_PUBLIC &p = t.publicArea;
    p.type = TPM2_ALG_ECC;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
                         TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED |
                         TPMA_OBJECT_DECRYPT;
    TPMS_ECC_PARMS &ecc = p.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    return t;
}

// A sealed-data object. Without a policy it opens with its (empty)
// authorisation value; with one it opens only through the policy, as a
// userWithAuth object would let a plain password session bypass the PCRs.
TPM2B_PUBLIC SealedTemplate(const TPM2B_DIGEST &policy)
{
    TPM2B_PUBLIC t{};
    TPMT_PUBLIC &p = t.publicArea;
    p.type = TPM2_ALG_KEYEDHASH;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_NODA;
    if (policy.size == 0) {
        p.objectAttributes |= TPMA_OBJECT_USERWITHAUTH;
    }
    p.authPolicy = policy;
    p.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_NULL;
    return t;
}

TPML_PCR_SELECTION PcrSelection(std::uint32_t mask)
{
    TPML_PCR_SELECTION s{};
    s.count = 1;
    s.pcrSelections[0].hash = TPM2_ALG_SHA256;
    s.pcrSelections[0].sizeofSelect = 3;
    for (std::size_t i = 0; i < 3; ++i) {
        s.pcrSelections[0].pcrSelect[i] = static_cast<std::uint8_t>(mask >> (8 * i));
    }
    return s;
}

Status CreatePrimary(const Connection &c, Transient &primary)
{
    const TPM2B_SENSITIVE_CREATE sensitive{};
    const TPM2B_PUBLIC inPublic = PrimaryTemplate();
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION creationPcrs{};
    TPM2B_PUBLIC *outPublic = nullptr;
    TPM2B_CREATION_DATA *creationData = nullptr;
    TPM2B_DIGEST *creationHash = nullptr;
    TPMT_TK_CREATION *ticket = nullptr;
    const TSS2_RC rc = Esys_CreatePrimary(c.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                          &sensitive, &inPublic, &outside, &creationPcrs, primary.out(), &outPublic,
                                          &creationData, &creationHash, &ticket);
    Esys_Free(outPublic);
    Esys_Free(creationData);
    Esys_Free(creationHash);
    Esys_Free(ticket);
    return FromRc(rc, Status::failure);
}

// Starts a session; salted to the primary and encrypting the first parameter
// in the direction(s) given by cipherFlags unless it is a trial session.
Status StartSession(const Connection &c, ESYS_TR primary, TPM2_SE type, TPMA_SESSION cipherFlags,
                    Transient &session)
{
    const bool trial = type == TPM2_SE_TRIAL;
    TSS2_RC rc = Esys_StartAuthSession(c.esys(), trial ? ESYS_TR_NONE : primary, ESYS_TR_NONE, ESYS_TR_NONE,
                                       ESYS_TR_NONE, ESYS_TR_NONE, nullptr, type,
                                       trial ? &kNoCipher : &kSessionCipher, TPM2_ALG_SHA256, session.out());
    if (rc == TSS2_RC_SUCCESS) {
        // Kept open after each command so the guard's flush is the only one.
        rc = Esys_TRSess_SetAttributes(c.esys(), session.get(),
                                       TPMA_SESSION_CONTINUESESSION | (trial ? 0 : cipherFlags), 0xFF);
    }
    return FromRc(rc, Status::failure);
}

// Runs PolicyPCR over the mask's SHA-256 PCRs in session. With no expected
// digest the TPM takes the PCRs' current values: in a trial session that
// yields the policy to seal to; in a real one the object's policy check at
// unseal time is what compares them.
Status PolicyPcr(const Connection &c, ESYS_TR session, std::uint32_t mask)
{
    const TPM2B_DIGEST current{};
    const TPML_PCR_SELECTION pcrs = PcrSelection(mask);
    return FromRc(Esys_PolicyPCR(c.esys(), session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &current, &pcrs),
                  Status::failure);
}

Status PcrPolicyDigest(const Connection &c, std::uint32_t mask, TPM2B_DIGEST &digest)
{
    Transient trial(c);
    Status st = StartSession(c, ESYS_TR_NONE, TPM2_SE_TRIAL, 0, trial);
    if (st == Status::ok) {
        st = PolicyPcr(c, trial.get(), mask);
    }
    if (st != Status::ok) {
        return st;
    }
    TPM2B_DIGEST *out = nullptr;
    const TSS2_RC rc = Esys_PolicyGetDigest(c.esys(), trial.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &out);
    EsysPtr<TPM2B_DIGEST> owned(out);
    if (rc != TSS2_RC_SUCCESS) {
        return FromRc(rc, Status::failure);
    }
    if (owned == nullptr || owned->size != TPM2_SHA256_DIGEST_SIZE) {
        return Status::failure;
    }
    digest = *owned;
    return Status::ok;
}

// The unsealed data, wiped before the ESAPI gets its memory back.
struct SensitiveDataFree {
    void operator()(TPM2B_SENSITIVE_DATA *p) const
    {
        zorv::Wipe(p, sizeof(*p));
        Esys_Free(p);
    }
};

// The system API decrypts a response's first parameter in place in its
// response buffer, which lives until the context is finalised and is then
// freed unwiped: wipe the parameter area while it is still reachable.
void WipeResponseParameters(const Connection &c)
{
    TSS2_SYS_CONTEXT *sys = nullptr;
    std::size_t size = 0;
    const std::uint8_t *params = nullptr;
    if (Esys_GetSysContext(c.esys(), &sys) == TSS2_RC_SUCCESS && sys != nullptr &&
        Tss2_Sys_GetRpBuffer(sys, &size, &params) == TSS2_RC_SUCCESS && params != nullptr) {
        zorv::Wipe(const_cast<std::uint8_t *>(params), size);
    }
}

Status UnsealStatus(TSS2_RC rc)
{
    switch (TpmBaseRc(rc)) {
    case TPM2_RC_POLICY_FAIL:
    case TPM2_RC_PCR_CHANGED:
        return Status::pcrChanged;
    default:
        return FromRc(rc, Status::failure);
    }
}

// One policy (or HMAC) session and one unseal; rc is the unseal's code.
Status UnsealOnce(const Connection &c, ESYS_TR primary, ESYS_TR object, std::uint32_t pcrMask,
                  std::span<std::uint8_t, 32> secret, TSS2_RC &rc)
{
    Transient session(c);
    const bool bound = pcrMask != 0;
    Status st = StartSession(c, primary, bound ? TPM2_SE_POLICY : TPM2_SE_HMAC, TPMA_SESSION_ENCRYPT, session);
    if (st == Status::ok && bound) {
        st = PolicyPcr(c, session.get(), pcrMask);
    }
    if (st != Status::ok) {
        return st;
    }
    TPM2B_SENSITIVE_DATA *out = nullptr;
    rc = Esys_Unseal(c.esys(), object, session.get(), ESYS_TR_NONE, ESYS_TR_NONE, &out);
    std::unique_ptr<TPM2B_SENSITIVE_DATA, SensitiveDataFree> data(out);
    WipeResponseParameters(c);
    if (rc != TSS2_RC_SUCCESS) {
        return UnsealStatus(rc);
    }
    if (data == nullptr || data->size != secret.size()) {
        return Status::failure;
    }
    std::copy_n(data->buffer, secret.size(), secret.begin());
    return Status::ok;
}

} // namespace

Status Seal(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, std::vector<std::uint8_t> &blob)
{
    blob.clear();
    if (pcrMask >= kPcrMaskLimit) {
        return Status::failure;
    }
    Connection c;
    Status st = c.Open();
    if (st != Status::ok) {
        return st;
    }
    Transient primary(c);
    if ((st = CreatePrimary(c, primary)) != Status::ok) {
        return st;
    }
    TPM2B_DIGEST policy{};
    if (pcrMask != 0 && (st = PcrPolicyDigest(c, pcrMask, policy)) != Status::ok) {
        return st;
    }
    Transient session(c);
    if ((st = StartSession(c, primary.get(), TPM2_SE_HMAC, TPMA_SESSION_DECRYPT, session)) != Status::ok) {
        return st;
    }

    TPM2B_SENSITIVE_CREATE sensitive{};
    ScopedCleanse wipe(&sensitive, sizeof(sensitive));
    sensitive.sensitive.data.size = static_cast<UINT16>(secret.size());
    std::copy(secret.begin(), secret.end(), sensitive.sensitive.data.buffer);
    const TPM2B_PUBLIC inPublic = SealedTemplate(policy);
    const TPM2B_DATA outside{};
    const TPML_PCR_SELECTION creationPcrs{};
    TPM2B_PRIVATE *outPrivate = nullptr;
    TPM2B_PUBLIC *outPublic = nullptr;
    TPM2B_CREATION_DATA *creationData = nullptr;
    TPM2B_DIGEST *creationHash = nullptr;
    TPMT_TK_CREATION *ticket = nullptr;
    const TSS2_RC rc = Esys_Create(c.esys(), primary.get(), session.get(), ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                                   &inPublic, &outside, &creationPcrs, &outPrivate, &outPublic, &creationData,
                                   &creationHash, &ticket);
    EsysPtr<TPM2B_PRIVATE> privatePart(outPrivate);
    EsysPtr<TPM2B_PUBLIC> publicPart(outPublic);
    Esys_Free(creationData);
    Esys_Free(creationHash);
    Esys_Free(ticket);
    if (rc != TSS2_RC_SUCCESS) {
        return FromRc(rc, Status::failure);
    }
    if (privatePart == nullptr || publicPart == nullptr) {
        return Status::failure;
    }
    SealedBlob sealed;
    sealed.pcrMask = pcrMask;
    sealed.publicPart = *publicPart;
    sealed.privatePart = *privatePart;
    return EncodeBlob(sealed, blob) ? Status::ok : Status::failure;
}

Status Unseal(std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret)
{
    std::fill(secret.begin(), secret.end(), std::uint8_t{0});
    SealedBlob sealed;
    if (!DecodeBlob(blob, sealed)) {
        return Status::badBlob;
    }
    Connection c;
    Status st = c.Open();
    if (st != Status::ok) {
        return st;
    }
    Transient primary(c);
    if ((st = CreatePrimary(c, primary)) != Status::ok) {
        return st;
    }
    // Another TPM's primary key differs, so its objects fail the integrity
    // check of the load.
    Transient object(c);
    const TSS2_RC rc = Esys_Load(c.esys(), primary.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                 &sealed.privatePart, &sealed.publicPart, object.out());
    if (rc != TSS2_RC_SUCCESS) {
        return FromRc(rc, Status::notThisTpm);
    }

    // A policy session remembers the TPM's PCR update counter: an extend of
    // any PCR between PolicyPCR and the unseal (a measuring kernel extends
    // often) fails it even when the bound values hold, so it is retried.
    for (int attempt = 0;; ++attempt) {
        TSS2_RC unsealRc = TSS2_RC_SUCCESS;
        st = UnsealOnce(c, primary.get(), object.get(), sealed.pcrMask, secret, unsealRc);
        if (TpmBaseRc(unsealRc) != TPM2_RC_PCR_CHANGED || attempt == 2) {
            return st;
        }
    }
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::ok: return "sealed object opened";
    case Status::noTpm: return "no TPM reachable";
    case Status::notThisTpm: return "the sealed object does not open on this TPM";
    case Status::pcrChanged: return "the PCR values the object is bound to have changed";
    case Status::badBlob: return "the sealed object is malformed";
    case Status::failure: break;
    }
    return "TPM failure";
}

} // namespace zorv::tpm2
