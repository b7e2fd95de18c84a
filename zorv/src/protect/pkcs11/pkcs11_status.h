// Outcomes of the PKCS#11 slot operations, one per cause an operator acts on.
#pragma once

namespace zorv::pkcs11 {

enum class Status {
    ok,
    badUri,          // the PKCS#11 URI is malformed, carries pin-value, or lacks token or object
    noModule,        // the module does not load or is not a PKCS#11 module
    moduleUnsafe,    // the module path is relative, not a regular file, or writable by others
    noToken,         // no token with the URI's label (and other token attributes) is present
    noPin,           // the token needs a PIN and none was given, or the PIN file is unreadable or unsafe
    badPin,          // the token refused the PIN
    pinLocked,       // the token's user PIN is locked
    noKey,           // no AES key with the URI's object label on the token (deleted, or never made)
    keyAmbiguous,    // more than one key matches the URI
    noMechanism,     // the token offers neither AES-GCM nor AES key wrap with padding
    notThisKey,      // the wrapped secret does not open under the token key (other key, changed blob)
    badBlob,         // the wrapped secret does not have the expected shape
    failure,         // any other module or token failure
};

// A short English description; never null.
const char *StatusText(Status status);

} // namespace zorv::pkcs11
