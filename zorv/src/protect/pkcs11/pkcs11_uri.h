// PKCS#11 URIs (RFC 7512) naming a token and the AES key on it:
//   pkcs11:token=Fleet%20keys;object=zorva-kek?pin-source=file:/etc/zorva/token.pin
// Path attributes: token, manufacturer, model, serial (the token), object,
// id, type (the key; type must be secret-key). Query attributes: pin-source
// (a file: URI or an absolute path) and module-path. pin-value is refused: a
// PIN written into a URI ends up in shell histories, process lists and
// configuration files. Vendor attributes (x-...) are ignored; any other
// attribute is refused rather than silently widening the match.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protect/pkcs11/pkcs11_status.h"

namespace zorv::pkcs11 {

struct Uri {
    std::string token;        // token label (required)
    std::string manufacturer; // further token attributes, empty = any
    std::string model;
    std::string serial;
    std::string object;       // key label (required)
    std::vector<std::uint8_t> id;
    bool hasId = false;
    std::string pinSource;    // absolute path of the PIN file, empty = none
    std::string modulePath;   // module-path query attribute, empty = none
};

// Parses text into uri. On failure returns Status::badUri and sets *why (if
// not null) to a static English reason.
Status ParseUri(std::string_view text, Uri &uri, const char **why = nullptr);

} // namespace zorv::pkcs11
