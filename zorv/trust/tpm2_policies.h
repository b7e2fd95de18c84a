// The signed PCR policies this host's administrator installed (the file
// "tpm2-policies" of the host configuration): lines of trust/pcr_policy.h,
// at most 16, written by zorvm_keytool tpm2-policy install/remove. A tpm2
// slot sealed to a signer opens through the policies here signed by that
// signer for the slot's PCRs, and through nothing a store file carries.
#pragma once

#include <string>
#include <vector>

#include "trust/host_config.h"
#include "trust/pcr_policy.h"

namespace zorv {

constexpr const char *kTpm2PoliciesFile = "tpm2-policies";
constexpr std::size_t kMaxInstalledPolicies = 16;

// status ok also for a file without policies.
struct InstalledPolicies : ConfigState {
    std::vector<SignedPcrPolicy> policies;
};

// Reads the file under the host configuration's rules; a malformed file
// (any line) is unreadable and yields no policy.
InstalledPolicies ReadInstalledPolicies();

// The file's text for a list of policies.
std::string FormatInstalledPolicies(const std::vector<SignedPcrPolicy> &policies);

} // namespace zorv
