// What this process brings to open and make protector slots: the host key
// file, a recovery passphrase, the PCRs new TPM slots are bound to. Set
// through QintProtectSetEx; a load takes a snapshot.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "crypto/secret.h"
#include "trust/pcr_policy.h"

namespace zorv {

struct Unlock {
    std::string hostKeyPath;
    bool hasPassphrase = false;
    SecretBytes passphrase;
    std::uint32_t pcrMask = 0;
    // New TPM slots open through PCR policies signed by this key instead of
    // the PCRs' values of the day.
    std::optional<TPMT_PUBLIC> tpm2Signer;
    std::uint8_t scryptLog2N = 17;
    // New pkcs11 slots: the token key and module; the PIN for making and
    // opening them (else the URI's pin-source).
    std::string pkcs11Uri;
    std::string pkcs11Module;
    bool hasPkcs11Pin = false;
    SecretBytes pkcs11Pin;
    bool pkcs11GenerateKey = false;
    // Only import opens a carried copy's sealed-for slot, and nothing else
    // of it; every other load leaves sealed-for slots alone.
    bool importOnly = false;
    // Loads for adopt (and for reading a store's identity) take the store
    // whatever the host pinned.
    bool ignorePin = false;
    // A new sealed-for slot's recipient (set by the export, not the settings).
    bool hasRecipient = false;
    std::array<std::uint8_t, 32> recipient{};
};

// A copy of the current settings (the passphrase in wiping storage).
Unlock CurrentUnlock();

} // namespace zorv
