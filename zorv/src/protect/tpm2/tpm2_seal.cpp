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
#include <bit>
#include <cstring>

namespace zorv::tpm2 {
namespace {

constexpr TPMT_SYM_DEF kSessionCipher{
    .algorithm = TPM2_ALG_AES, .keyBits = {.aes = 128}, .mode = {.aes = TPM2_ALG_CFB}};

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

// Starts a session salted to the primary, encrypting the first parameter in
// the direction(s) given by cipherFlags.
Status StartSession(const Connection &c, ESYS_TR primary, TPM2_SE type, TPMA_SESSION cipherFlags,
                    Transient &session)
{
    TSS2_RC rc = Esys_StartAuthSession(c.esys(), primary, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                       nullptr, type, &kSessionCipher, TPM2_ALG_SHA256, session.out());
    if (rc == TSS2_RC_SUCCESS) {
        // Kept open after each command so the guard's flush is the only one.
        rc = Esys_TRSess_SetAttributes(c.esys(), session.get(), TPMA_SESSION_CONTINUESESSION | cipherFlags, 0xFF);
    }
    return FromRc(rc, Status::failure);
}

// Runs PolicyPCR over the mask's SHA-256 PCRs in session. With no expected
// digest the TPM takes the PCRs' current values; the object's policy check
// at unseal time (or PolicyAuthorize) is what compares them. The policy an
// object is sealed to is computed here from values read beforehand
// (trust/pcr_policy.h), the same digest the TPM computes.
Status PolicyPcr(const Connection &c, ESYS_TR session, std::uint32_t mask)
{
    const TPM2B_DIGEST current{};
    const TPML_PCR_SELECTION pcrs = PcrSelection(mask);
    return FromRc(Esys_PolicyPCR(c.esys(), session, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &current, &pcrs),
                  Status::failure);
}

// One consistent reading of the SHA-256 PCRs of mask: a command returns at
// most eight values, so a wider mask takes several, and an extend between
// them (the update counter moved) starts the reading again.
Status ReadPcrValues(const Connection &c, std::uint32_t mask, PcrValues &values)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint32_t remaining = mask;
        std::uint32_t firstCounter = 0;
        bool consistent = true;
        for (bool first = true; remaining != 0 && consistent; first = false) {
            const TPML_PCR_SELECTION in = PcrSelection(remaining);
            UINT32 counter = 0;
            TPML_PCR_SELECTION *outSelection = nullptr;
            TPML_DIGEST *outValues = nullptr;
            const TSS2_RC rc = Esys_PCR_Read(c.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &in, &counter,
                                             &outSelection, &outValues);
            EsysPtr<TPML_PCR_SELECTION> selection(outSelection);
            EsysPtr<TPML_DIGEST> digests(outValues);
            if (rc != TSS2_RC_SUCCESS) {
                return FromRc(rc, Status::failure);
            }
            consistent = first || counter == firstCounter;
            firstCounter = first ? counter : firstCounter;
            // The values come in the order of the selections, each ascending.
            std::uint32_t got = 0;
            std::uint32_t next = 0;
            for (std::uint32_t k = 0; k < selection->count && k < TPM2_NUM_PCR_BANKS; ++k) {
                const TPMS_PCR_SELECTION &bank = selection->pcrSelections[k];
                for (std::uint32_t i = 0; i < 8u * bank.sizeofSelect && i < 8u * sizeof(bank.pcrSelect); ++i) {
                    if (((bank.pcrSelect[i / 8] >> (i % 8)) & 1u) == 0) {
                        continue;
                    }
                    if (next >= digests->count) {
                        return Status::failure;
                    }
                    const TPM2B_DIGEST &d = digests->digests[next++];
                    if (bank.hash == TPM2_ALG_SHA256 && i < kPcrCount && ((remaining >> i) & 1u) != 0 &&
                        d.size == TPM2_SHA256_DIGEST_SIZE) {
                        std::copy_n(d.buffer, d.size, values[i].begin());
                        got |= 1u << i;
                    }
                }
            }
            if (got == 0) {
                return Status::failure; // no SHA-256 bank
            }
            remaining &= ~got;
        }
        if (consistent) {
            return Status::ok;
        }
    }
    return Status::failure;
}

// What PolicyAuthorize needs besides the session: the approved policy, the
// signer's name as the TPM computed it, and the ticket of its signature.
struct Authorization {
    TPM2B_DIGEST approved{};
    TPM2B_NAME signer{};
    TPMT_TK_VERIFIED ticket{};
};

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
// With auth the session goes on from PolicyPCR to PolicyAuthorize, which
// the TPM refuses unless the current values give the approved digest.
Status UnsealOnce(const Connection &c, ESYS_TR primary, ESYS_TR object, std::uint32_t pcrMask,
                  const Authorization *auth, std::span<std::uint8_t, 32> secret, TSS2_RC &rc)
{
    Transient session(c);
    const bool bound = pcrMask != 0;
    Status st = StartSession(c, primary, bound ? TPM2_SE_POLICY : TPM2_SE_HMAC, TPMA_SESSION_ENCRYPT, session);
    if (st == Status::ok && bound) {
        st = PolicyPcr(c, session.get(), pcrMask);
    }
    if (st == Status::ok && auth != nullptr) {
        const TPM2B_NONCE noReference{};
        const TSS2_RC arc = Esys_PolicyAuthorize(c.esys(), session.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                                 &auth->approved, &noReference, &auth->signer, &auth->ticket);
        // A digest other than the approved one: the values moved since they
        // were read.
        st = TpmBaseRc(arc) == TPM2_RC_VALUE ? Status::pcrChanged : FromRc(arc, Status::policyRefused);
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

// Creates the sealed-data object under policy and serialises it with the
// binding's fields (sealed: everything but the two parts).
Status SealUnder(const Connection &c, ESYS_TR primary, std::span<const std::uint8_t, 32> secret,
                 const TPM2B_DIGEST &policy, SealedBlob &sealed, std::vector<std::uint8_t> &blob)
{
    Transient session(c);
    if (const Status st = StartSession(c, primary, TPM2_SE_HMAC, TPMA_SESSION_DECRYPT, session); st != Status::ok) {
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
    const TSS2_RC rc = Esys_Create(c.esys(), primary, session.get(), ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
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
    sealed.publicPart = *publicPart;
    sealed.privatePart = *privatePart;
    return EncodeBlob(sealed, blob) ? Status::ok : Status::failure;
}

TPM2B_DIGEST DigestOf(const PolicyDigest &d)
{
    TPM2B_DIGEST out{};
    out.size = static_cast<UINT16>(d.size());
    std::copy(d.begin(), d.end(), out.buffer);
    return out;
}

// One try of a policy of the object's signer whose values are the current
// ones: the TPM loads the signer's key (public part only, in the owner
// hierarchy, as a ticket of the null hierarchy would not do), checks the
// signature, and the policy session presents the ticket.
Status UnsealThrough(const Connection &c, ESYS_TR primary, ESYS_TR object, const SealedBlob &sealed,
                     const SignedPcrPolicy &policy, std::span<std::uint8_t, 32> secret)
{
    Transient key(c);
    TPM2B_PUBLIC signer{};
    signer.publicArea = policy.signer;
    TSS2_RC rc = Esys_LoadExternal(c.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, nullptr, &signer,
                                   ESYS_TR_RH_OWNER, key.out());
    if (rc != TSS2_RC_SUCCESS) {
        return FromRc(rc, Status::policyRefused);
    }
    Authorization auth;
    TPM2B_NAME *name = nullptr;
    rc = Esys_TR_GetName(c.esys(), key.get(), &name);
    EsysPtr<TPM2B_NAME> ownedName(name);
    if (rc != TSS2_RC_SUCCESS || name == nullptr || name->size != sealed.signerName.size() ||
        !std::equal(sealed.signerName.begin(), sealed.signerName.end(), name->name)) {
        return Status::failure; // the TPM names the key otherwise than the slot
    }
    auth.signer = *name;
    PolicyDigest approved{}, hash{};
    if (!PcrPolicyDigest(sealed.pcrMask, policy.values, approved) || !ApprovalHash(approved, hash)) {
        return Status::failure;
    }
    auth.approved = DigestOf(approved);
    const TPM2B_DIGEST signedHash = DigestOf(hash);
    TPMT_TK_VERIFIED *ticket = nullptr;
    rc = Esys_VerifySignature(c.esys(), key.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, &signedHash,
                              &policy.signature, &ticket);
    EsysPtr<TPMT_TK_VERIFIED> ownedTicket(ticket);
    if (rc != TSS2_RC_SUCCESS || ticket == nullptr) {
        return FromRc(rc, Status::policyRefused);
    }
    auth.ticket = *ticket;
    for (int attempt = 0;; ++attempt) {
        TSS2_RC unsealRc = TSS2_RC_SUCCESS;
        const Status st = UnsealOnce(c, primary, object, sealed.pcrMask, &auth, secret, unsealRc);
        if (TpmBaseRc(unsealRc) != TPM2_RC_PCR_CHANGED || attempt == 2) {
            return st;
        }
    }
}

// A signed object: the policies by its signer for its PCRs are compared
// with the current values, and the TPM tries those that match.
Status UnsealSigned(const Connection &c, ESYS_TR primary, ESYS_TR object, const SealedBlob &sealed,
                    std::span<const SignedPcrPolicy> policies, std::span<std::uint8_t, 32> secret,
                    UnsealReport &report)
{
    PcrValues current{};
    bool read = false;
    bool refused = false;
    for (const SignedPcrPolicy &p : policies) {
        if (p.signerName != sealed.signerName || p.pcrMask != sealed.pcrMask) {
            continue;
        }
        if (!read) {
            if (const Status st = ReadPcrValues(c, sealed.pcrMask, current); st != Status::ok) {
                return st;
            }
            read = true;
        }
        const std::uint32_t differ = DifferingPcrs(sealed.pcrMask, p.values, current);
        if (differ != 0) {
            // The closest; of equals, the one installed last.
            if (!refused && (report.policy == nullptr || std::popcount(differ) <= std::popcount(report.changedPcrs))) {
                report.policy = &p;
                report.changedPcrs = differ;
            }
            continue;
        }
        const Status st = UnsealThrough(c, primary, object, sealed, p, secret);
        if (st == Status::ok || (st != Status::policyRefused && st != Status::pcrChanged)) {
            report.policy = &p;
            report.changedPcrs = 0;
            return st;
        }
        if (st == Status::policyRefused) {
            refused = true;
            report.policy = &p;
            report.changedPcrs = 0;
        }
    }
    return !read ? Status::noPolicy : refused ? Status::policyRefused : Status::pcrChanged;
}

// A connection to the TPM and the storage primary every object of ours is
// made under, flushed (and the connection closed) on scope exit.
struct TpmWithPrimary {
    Connection c;
    Transient primary{c};

    Status Open()
    {
        const Status st = c.Open();
        return st != Status::ok ? st : CreatePrimary(c, primary);
    }
};

} // namespace

Status Seal(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, std::vector<std::uint8_t> &blob)
{
    blob.clear();
    if (pcrMask >= kPcrMaskLimit) {
        return Status::failure;
    }
    TpmWithPrimary tpm;
    Status st = tpm.Open();
    if (st != Status::ok) {
        return st;
    }
    Connection &c = tpm.c;
    Transient &primary = tpm.primary;
    SealedBlob sealed;
    sealed.pcrMask = pcrMask;
    TPM2B_DIGEST policy{};
    if (pcrMask != 0) {
        // Bound to the values read here: should one change before the
        // object is made, it simply does not open, and says which.
        PolicyDigest digest{};
        sealed.kind = PcrPolicyKind::literal;
        if ((st = ReadPcrValues(c, pcrMask, sealed.values)) != Status::ok) {
            return st;
        }
        if (!PcrPolicyDigest(pcrMask, sealed.values, digest)) {
            return Status::failure;
        }
        policy = DigestOf(digest);
    }
    return SealUnder(c, primary.get(), secret, policy, sealed, blob);
}

Status SealSigned(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, const TPMT_PUBLIC &signer,
                  std::vector<std::uint8_t> &blob)
{
    blob.clear();
    SealedBlob sealed;
    sealed.pcrMask = pcrMask;
    sealed.kind = PcrPolicyKind::signed_;
    PolicyDigest digest{};
    if (pcrMask == 0 || pcrMask >= kPcrMaskLimit || !SignerName(signer, sealed.signerName) ||
        !AuthorizedPolicyDigest(sealed.signerName, digest)) {
        return Status::failure;
    }
    TpmWithPrimary tpm;
    Status st = tpm.Open();
    if (st != Status::ok) {
        return st;
    }
    Connection &c = tpm.c;
    Transient &primary = tpm.primary;
    return SealUnder(c, primary.get(), secret, DigestOf(digest), sealed, blob);
}

Status Unseal(std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret)
{
    UnsealReport report;
    return Unseal(blob, {}, secret, report);
}

Status Unseal(std::span<const std::uint8_t> blob, std::span<const SignedPcrPolicy> policies,
              std::span<std::uint8_t, 32> secret, UnsealReport &report)
{
    report = UnsealReport{};
    std::fill(secret.begin(), secret.end(), std::uint8_t{0});
    SealedBlob sealed;
    if (!DecodeBlob(blob, sealed)) {
        return Status::badBlob;
    }
    TpmWithPrimary tpm;
    Status st = tpm.Open();
    if (st != Status::ok) {
        return st;
    }
    Connection &c = tpm.c;
    Transient &primary = tpm.primary;
    // Another TPM's primary key differs, so its objects fail the integrity
    // check of the load.
    Transient object(c);
    const TSS2_RC rc = Esys_Load(c.esys(), primary.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                 &sealed.privatePart, &sealed.publicPart, object.out());
    if (rc != TSS2_RC_SUCCESS) {
        return FromRc(rc, Status::notThisTpm);
    }

    if (sealed.kind == PcrPolicyKind::signed_) {
        return UnsealSigned(c, primary.get(), object.get(), sealed, policies, secret, report);
    }
    // A policy session remembers the TPM's PCR update counter: an extend of
    // any PCR between PolicyPCR and the unseal (a measuring kernel extends
    // often) fails it even when the bound values hold, so it is retried.
    for (int attempt = 0;; ++attempt) {
        TSS2_RC unsealRc = TSS2_RC_SUCCESS;
        st = UnsealOnce(c, primary.get(), object.get(), sealed.pcrMask, nullptr, secret, unsealRc);
        if (TpmBaseRc(unsealRc) != TPM2_RC_PCR_CHANGED || attempt == 2) {
            break;
        }
    }
    PcrValues current{};
    if (st == Status::pcrChanged && sealed.kind == PcrPolicyKind::literal &&
        ReadPcrValues(c, sealed.pcrMask, current) == Status::ok) {
        report.changedPcrs = DifferingPcrs(sealed.pcrMask, sealed.values, current);
    }
    return st;
}

Status ReadPcrs(std::uint32_t mask, PcrValues &values)
{
    values = PcrValues{};
    if (mask == 0 || mask >= kPcrMaskLimit) {
        return Status::failure;
    }
    Connection c;
    const Status st = c.Open();
    return st != Status::ok ? st : ReadPcrValues(c, mask, values);
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::ok: return "sealed object opened";
    case Status::noTpm: return "no TPM reachable";
    case Status::notThisTpm: return "the sealed object does not open on this TPM";
    case Status::pcrChanged: return "the PCR values the object is bound to have changed";
    case Status::noPolicy: return "no signed policy by the object's signer is given for its PCRs";
    case Status::policyRefused: return "the TPM refused the signed policy's key or signature";
    case Status::badBlob: return "the sealed object is malformed";
    case Status::failure: break;
    }
    return "TPM failure";
}

} // namespace zorv::tpm2
