// Administrator keys: Ed25519 key pairs that sign the store copies one host
// exports for another. The private half stays in a PEM file (PKCS#8, mode
// 0600) on the administrator's machine; hosts keep the public halves they
// trust. A key is named by its fingerprint, "SHA256:" and the unpadded
// Base64 of the SHA-256 of its 32 raw public bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret.h"

namespace zorv {

using AdminPublicKey = std::array<std::uint8_t, 32>;
using AdminSignature = std::array<std::uint8_t, 64>;

std::string AdminFingerprint(const AdminPublicKey &key);

// A short fingerprint of a host id text, to be read out and compared by
// people: 16 characters of Base32 from its SHA-256, in groups of four
// ("K4TQ-ZB7M-2XPE-9WCA" style, without the letters I, L, O, U).
std::string HostIdFingerprint(std::string_view hostIdText);

// Unpadded-or-padded standard Base64 of exactly n bytes, and back; the
// decoder refuses anything that is not exactly n bytes' worth.
std::string Base64Text(std::span<const std::uint8_t> bytes);
bool FromBase64Text(std::string_view text, std::span<std::uint8_t> out);

// A new key pair: the private key as PEM (wiping storage), the public key
// as PEM and raw. false when the crypto library fails.
bool MakeAdminKey(SecretBytes &privatePem, std::string &publicPem, AdminPublicKey &publicKey);

// The raw public key of a PEM public key (or of a PEM private key: its
// public half). false when the text is not an Ed25519 key.
bool AdminPublicFromPem(std::string_view pem, AdminPublicKey &publicKey);

// Signs message with the PEM private key; false when the key does not parse
// as Ed25519 or signing fails.
bool AdminSign(const SecretBytes &privatePem, std::span<const std::uint8_t> message, AdminSignature &signature,
               AdminPublicKey &publicKey);

bool AdminVerify(const AdminPublicKey &publicKey, std::span<const std::uint8_t> message,
                 const AdminSignature &signature);

} // namespace zorv
