// What this process brings to open and make protector slots: the host key
// file, a recovery passphrase, the PCRs new TPM slots are bound to. Set
// through QintProtectSetEx; a load takes a snapshot.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/secret.h"

namespace zorv {

struct Unlock {
    std::string hostKeyPath;
    bool hasPassphrase = false;
    SecretBytes passphrase;
    std::uint32_t pcrMask = 0;
    std::uint8_t scryptLog2N = 17;
};

// A copy of the current settings (the passphrase in wiping storage).
Unlock CurrentUnlock();

} // namespace zorv
