#include "trust/trusted_admins.h"

namespace zorv {

TrustedAdmins ReadTrustedAdmins()
{
    TrustedAdmins out;
    const ConfigState state =
        ReadConfigEntries(kTrustedAdminsFile, "ed25519 BASE64 [comment]", [&](const std::vector<std::string> &line) {
            TrustedAdmin admin;
            if (line.size() < 2 || line[0] != "ed25519" || !FromBase64Text(line[1], admin.key)) {
                return false;
            }
            for (std::size_t i = 2; i < line.size(); ++i) {
                admin.comment += (i > 2 ? " " : "") + line[i];
            }
            out.keys.push_back(std::move(admin));
            return true;
        });
    static_cast<ConfigState &>(out) = state;
    if (state.status != ConfigStatus::ok) {
        out.keys.clear();
    }
    return out;
}

std::string FormatTrustedAdmins(const std::vector<TrustedAdmin> &keys)
{
    std::string text = "# Administrator keys whose signed exports this host imports. Written by\n"
                       "# zorvm_keytool trust add/remove; one 'ed25519 BASE64 [comment]' per line.\n";
    for (const TrustedAdmin &admin : keys) {
        text += "ed25519 " + Base64Text(admin.key) + (admin.comment.empty() ? "" : " " + admin.comment) +
                "  # " + AdminFingerprint(admin.key) + "\n";
    }
    return text;
}

} // namespace zorv
