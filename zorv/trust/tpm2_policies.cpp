#include "trust/tpm2_policies.h"

namespace zorv {

InstalledPolicies ReadInstalledPolicies()
{
    InstalledPolicies out;
    static_cast<ConfigState &>(out) = ReadConfigEntries(
        kTpm2PoliciesFile, "tpm2-pcr-policy SIGNER PCRS SIGNATURE", [&](const std::vector<std::string> &words) {
            SignedPcrPolicy p;
            if (!ParsePolicyLine(words, p)) {
                return false;
            }
            out.policies.push_back(p);
            return true;
        });
    if (out.status == ConfigStatus::ok && out.policies.size() > kMaxInstalledPolicies) {
        out.status = ConfigStatus::unreadable;
        out.detail = out.path + ": more than " + std::to_string(kMaxInstalledPolicies) + " policies";
    }
    if (out.status != ConfigStatus::ok) {
        out.policies.clear();
    }
    return out;
}

std::string FormatInstalledPolicies(const std::vector<SignedPcrPolicy> &policies)
{
    std::string text = "# Signed PCR policies tpm2 slots sealed to their signers open through. Written by\n"
                       "# zorvm_keytool tpm2-policy install/remove; one 'tpm2-pcr-policy SIGNER PCRS SIGNATURE'\n"
                       "# per line.\n";
    for (const SignedPcrPolicy &p : policies) {
        text += "# policy " + PolicyId(p) + ", signer " + SignerId(p.signerName) + ", PCR " +
                PcrIndexList(p.pcrMask) + "\n" + FormatPolicyLine(p) + "\n";
    }
    return text;
}

} // namespace zorv
