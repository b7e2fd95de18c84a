// Sealing a 32-byte secret to this host's TPM 2.0.
//
// The TPM is reached through the ESAPI with the TCTI named by the
// environment variable ZORVA_TPM2_TCTI, or the kernel's resource manager
// ("device:/dev/tpmrm0") when it is unset. Each call creates an ECC P-256
// primary key in the owner hierarchy, uses it and flushes every transient
// handle it made, on success and on failure.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "trust/pcr_policy.h"

namespace zorv::tpm2 {

enum class Status {
    ok,
    noTpm,       // no TPM reachable through the TCTI
    notThisTpm,  // the sealed object does not load or unseal on this TPM
    pcrChanged,  // the PCR values the object is bound to have changed (signed: match no policy)
    noPolicy,    // signed: no policy given is by the object's signer for its PCRs
    policyRefused, // signed: the TPM refused the signer's key or signature of the policy that matches
    badBlob,     // the sealed blob does not parse
    failure,     // any other TPM or library failure
};

// Seals secret as a sealed-data object under the primary key. pcrMask binds it
// to the current values of those SHA-256 PCRs (bit i = PCR i, 0..23; 0 = no
// binding). blob receives the object's public and private parts, the PCR
// selection and the values sealed to, serialised; it is safe to store (only
// this TPM can unseal it).
Status Seal(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, std::vector<std::uint8_t> &blob);

// Seals secret so that it opens while the PCRs of pcrMask (not 0) hold the
// values of a policy signed by signer (trust/pcr_policy.h); blob as above,
// with the signer's name instead of values.
Status SealSigned(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, const TPMT_PUBLIC &signer,
                  std::vector<std::uint8_t> &blob);

// What an unseal found beyond its status.
struct UnsealReport {
    // pcrChanged: the bound PCRs whose current values differ from those
    // sealed to, or from those of the closest policy (0 when unknown: a blob
    // sealed before values were recorded).
    std::uint32_t changedPcrs = 0;
    // Signed: the policy that opened it, the closest one (pcrChanged) or the
    // one refused; null otherwise. Points into the policies given.
    const SignedPcrPolicy *policy = nullptr;
};

// Unseals a blob made by Seal or SealSigned into secret (left zeroed on
// failure). A blob sealed to a signer opens through the first of policies
// that is by that signer, for its PCRs, and matches their current values.
Status Unseal(std::span<const std::uint8_t> blob, std::span<const SignedPcrPolicy> policies,
              std::span<std::uint8_t, 32> secret, UnsealReport &report);
Status Unseal(std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret);

// The current values of the SHA-256 PCRs of mask (one consistent reading).
Status ReadPcrs(std::uint32_t mask, PcrValues &values);

// A short English description; never null.
const char *StatusText(Status status);

} // namespace zorv::tpm2
