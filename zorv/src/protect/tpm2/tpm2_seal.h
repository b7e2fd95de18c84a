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

namespace zorv::tpm2 {

enum class Status {
    ok,
    noTpm,       // no TPM reachable through the TCTI
    notThisTpm,  // the sealed object does not load or unseal on this TPM
    pcrChanged,  // the PCR values the object is bound to have changed
    badBlob,     // the sealed blob does not parse
    failure,     // any other TPM or library failure
};

// Seals secret as a sealed-data object under the primary key. pcrMask binds it
// to the current values of those SHA-256 PCRs (bit i = PCR i, 0..23; 0 = no
// binding). blob receives the object's public and private parts and the PCR
// selection, serialised; it is safe to store (only this TPM can unseal it).
Status Seal(std::span<const std::uint8_t, 32> secret, std::uint32_t pcrMask, std::vector<std::uint8_t> &blob);

// Unseals a blob made by Seal into secret (left zeroed on failure).
Status Unseal(std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret);

// A short English description; never null.
const char *StatusText(Status status);

} // namespace zorv::tpm2
