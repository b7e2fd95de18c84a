// The administrator keys this host takes signed imports from (the file
// "trusted-admins" of the host configuration), one per line:
//
//   ed25519 BASE64-OF-32-BYTES [comment]
//
// A key is named by its fingerprint (crypto/admin_key.h).
#pragma once

#include <string>
#include <vector>

#include "crypto/admin_key.h"
#include "trust/host_config.h"

namespace zorv {

struct TrustedAdmin {
    AdminPublicKey key{};
    std::string comment;
};

struct TrustedAdmins : ConfigState {
    std::vector<TrustedAdmin> keys;
};

TrustedAdmins ReadTrustedAdmins();

// The file's text for a list of keys.
std::string FormatTrustedAdmins(const std::vector<TrustedAdmin> &keys);

} // namespace zorv
