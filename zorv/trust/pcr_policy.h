// Signed PCR policies: a statement "these SHA-256 PCR values are good",
// signed by an administrator's key, that opens every tpm2 slot sealed to that
// key while the PCRs hold the values it names.
//
// The TPM does the checking, not this code. An object sealed to signer K has
// as its policy PolicyAuthorize(name of K). To unseal it, a policy session
// runs PolicyPCR over the PCRs' current values, then PolicyAuthorize with
// the digest PolicyPCR gives for the signed values and the ticket
// VerifySignature made of K's signature over it: the TPM refuses unless the
// session's digest is the signed one and the ticket is K's.
//
// Signer keys are ECC P-256 or RSA-2048/3072 keys in PEM, as `openssl
// genpkey` makes them. The TPM sees a key as its public area: SHA-256 name
// algorithm, attributes sign and userWithAuth, no policy, no symmetric
// algorithm, no scheme (the signature carries it); ECC: curve P-256, no
// KDF; RSA: its size and exponent (0 for 65537). The key's name is 0x000B
// and the SHA-256 of that area, marshalled.
//
// The text form of one policy is one line of four words:
//
//   tpm2-pcr-policy SIGNER PCRS SIGNATURE
//
//   SIGNER     Base64 of the signer's public area (TPMT_PUBLIC, marshalled)
//   PCRS       INDEX:HEX for each SHA-256 PCR bound, in ascending order,
//              comma-separated: "7:3d45...e1,16:0000...00" (64 hex digits each)
//   SIGNATURE  Base64 of the signature (TPMT_SIGNATURE, marshalled: ECDSA or
//              RSASSA with SHA-256) over SHA-256 of the PolicyPCR digest of
//              those values (the approved policy; the policy reference is
//              empty)
//
// A policy file (what tpm2-policy sign writes, and the installed list) is
// such lines; '#' starts a comment.
//
// Values predicted for a coming boot are given in a text file of one
// "INDEX HEX" per line (a PCR index 0..23 and its SHA-256 value in 64 hex
// digits); '#' starts a comment, other PCRs than those signed for are
// ignored, none may appear twice.
#pragma once

#include <tss2/tss2_tpm2_types.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorv {

using PolicyDigest = std::array<std::uint8_t, 32>;
using PcrValues = std::array<PolicyDigest, 24>; // by PCR index; only the bound ones count
using KeyName = std::array<std::uint8_t, 34>;   // 0x000B, SHA-256 of the public area

constexpr std::uint32_t kPcrCount = 24;
// A signer's public area (above): its attributes, and the exponent that
// stands for 65537 (written as 0).
constexpr TPMA_OBJECT kSignerAttributes = TPMA_OBJECT_SIGN_ENCRYPT | TPMA_OBJECT_USERWITHAUTH;
constexpr std::uint32_t kRsaDefaultExponent = 65537;

struct SignedPcrPolicy {
    TPMT_PUBLIC signer{};
    KeyName signerName{};
    std::uint32_t pcrMask = 0; // bit i: SHA-256 PCR i
    PcrValues values{};        // zero outside pcrMask
    TPMT_SIGNATURE signature{};
};

// The selection of the SHA-256 PCRs of mask, three bytes wide.
TPML_PCR_SELECTION PcrSelection(std::uint32_t mask);

// The digest PolicyPCR leaves in a fresh session when the PCRs of mask hold
// values. false when hashing fails.
bool PcrPolicyDigest(std::uint32_t mask, const PcrValues &values, PolicyDigest &out);
// The policy of an object that opens through PolicyAuthorize by the key
// named signer (empty policy reference).
bool AuthorizedPolicyDigest(const KeyName &signer, PolicyDigest &out);
// What the signer signs to approve a policy digest.
bool ApprovalHash(const PolicyDigest &approved, PolicyDigest &out);

// The public area of a PEM key: a public key, or with privateKey the public
// half of a private one. false with why (not PEM, a key of another kind or
// size, a private key where a public one belongs).
bool SignerFromPem(std::span<const std::uint8_t> pem, bool privateKey, TPMT_PUBLIC &out, std::string &why);
bool SignerName(const TPMT_PUBLIC &key, KeyName &out);

// Signs the PCR values of mask with the PEM private key (the caller wipes
// it). false with why.
bool SignPolicy(std::span<const std::uint8_t> privatePem, std::uint32_t mask, const PcrValues &values,
                SignedPcrPolicy &out, std::string &why);

// One policy's line (no newline); the policy of one line's words (false
// unless it is well-formed); the policies of a text: at most max, and at
// least one; false with why naming the line, and out empty, when any line
// is not a well-formed policy.
std::string FormatPolicyLine(const SignedPcrPolicy &p);
bool ParsePolicyLine(const std::vector<std::string> &words, SignedPcrPolicy &out);
bool ParsePolicies(std::string_view text, std::size_t max, std::vector<SignedPcrPolicy> &out, std::string &why);

// 16 hex digits naming a policy (its line's SHA-256) and a signer (its name).
std::string PolicyId(const SignedPcrPolicy &p);
std::string SignerId(const KeyName &name);

// The values of the PCRs of mask in a predicted-values text (above); false
// with why naming the line or the PCR missing.
bool ParsePcrValues(std::string_view text, std::uint32_t mask, PcrValues &values, std::string &why);

// "7, 16": the indices of a PCR mask.
std::string PcrIndexList(std::uint32_t mask);
// The PCRs of mask whose values differ between a and b.
std::uint32_t DifferingPcrs(std::uint32_t mask, const PcrValues &a, const PcrValues &b);

} // namespace zorv
