// The PKCS#11 modules this host loads and where their PINs come from (the
// file "pkcs11" of the host configuration), one token per line:
//
//   module /usr/lib/softhsm/libsofthsm2.so token Fleet%20keys pin file:/etc/zorva/token.pin
//
// The token label is percent-encoded as in a PKCS#11 URI. The PIN source is
// file:PATH (a file readable by its owner only), credential:NAME (the file
// NAME in the service's $CREDENTIALS_DIRECTORY) or none (no login). A store's
// pkcs11 slot names a module path and a token; it opens only when this file
// has that pair, and then with the module and PIN source named here.
#pragma once

#include <string>
#include <vector>

#include "trust/host_config.h"

namespace zorv {

struct Pkcs11Entry {
    std::string module;
    std::string token;     // decoded label
    std::string pinSource; // "file:/...", "credential:NAME" or "none"
};

struct Pkcs11Config : ConfigState {
    std::vector<Pkcs11Entry> entries;

    const Pkcs11Entry *Find(const std::string &module, const std::string &token) const;
};

Pkcs11Config ReadPkcs11Config();

// The file's text for a list of entries.
std::string FormatPkcs11Config(const std::vector<Pkcs11Entry> &entries);

// Whether text is a PIN source this file accepts.
bool ValidPinSource(const std::string &text);

} // namespace zorv
