#include "trust/tpm2_policies.h"

namespace zorv {

InstalledPolicies ReadInstalledPolicies()
{
    InstalledPolicies out;
    ConfigText file = ReadHostConfig(kTpm2PoliciesFile);
    out.status = file.status;
    out.path = file.path;
    out.detail = file.detail;
    if (file.status != ConfigStatus::ok || ConfigLines(file.text).empty()) {
        return out;
    }
    std::string why;
    if (!ParsePolicies(file.text, kMaxInstalledPolicies, out.policies, why)) {
        out.status = ConfigStatus::unreadable;
        out.detail = out.path + ": " + why;
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
