// The signature an administrator puts beside a store copy exported for one
// host (DIR/zorvm_export.sig), so the receiving host can tell the copy came
// from an administrator it trusts and was meant for it:
//
//   zorva-export-signature 1
//   signer BASE64-OF-32-BYTES
//   recipient zorva-host1:...
//   store-sha256 HEX
//   signature BASE64-OF-64-BYTES
//
// The Ed25519 signature covers a fixed label, the recipient's public key and
// the SHA-256 of the store file (both files of an export are the same bytes).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/admin_key.h"
#include "crypto/secret.h"

namespace zorv {

constexpr const char *kExportSignatureFile = "zorvm_export.sig";
constexpr std::size_t kMaxExportSignatureSize = 4096;

using Sha256 = std::array<std::uint8_t, 32>;

struct ExportSignature {
    AdminPublicKey signer{};
    std::string recipient; // host id text
    std::array<std::uint8_t, 32> recipientKey{};
    Sha256 storeDigest{};
    AdminSignature signature{};
};

bool Sha256Of(std::span<const std::uint8_t> bytes, Sha256 &out);

// Signs a copy of storeBytes for recipient (a host id text) with the PEM
// private key; text gets the file's contents. false: bad host id or key.
bool SignExport(const SecretBytes &privatePem, std::string_view recipient, std::span<const std::uint8_t> storeBytes,
                std::string &text, AdminPublicKey &signer);

// Parses the file's text (strictly; anything else is refused). false when
// it is not a signature file.
bool ParseExportSignature(std::string_view text, ExportSignature &out);

// Whether the signature is the signer's over its recipient and digest.
bool ExportSignatureValid(const ExportSignature &sig);

} // namespace zorv
