#include "trust/trusted_admins.h"

namespace zorv {

TrustedAdmins ReadTrustedAdmins()
{
    TrustedAdmins out;
    ConfigText file = ReadHostConfig(kTrustedAdminsFile);
    out.status = file.status;
    out.path = file.path;
    out.detail = file.detail;
    if (file.status != ConfigStatus::ok) {
        return out;
    }
    std::size_t number = 0;
    for (const auto &line : ConfigLines(file.text)) {
        ++number;
        TrustedAdmin admin;
        if (line.size() < 2 || line[0] != "ed25519" || !FromBase64Text(line[1], admin.key)) {
            out.status = ConfigStatus::unreadable;
            out.detail = out.path + ": entry " + std::to_string(number) + " is not 'ed25519 BASE64 [comment]'";
            out.keys.clear();
            return out;
        }
        for (std::size_t i = 2; i < line.size(); ++i) {
            admin.comment += (i > 2 ? " " : "") + line[i];
        }
        out.keys.push_back(std::move(admin));
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
