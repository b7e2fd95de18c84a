// Sealing a 32-byte secret for another host, and opening it there.
//
// Every host has an X25519 key pair derived from its host key file (HKDF-SHA256
// under a label of its own, so the pair says nothing about the other uses of
// that file). The public half, written as a host id, is all an administrator
// needs to prepare a store for that host; only the host's own key file opens
// what was sealed for it.
//
// Seal draws an ephemeral X25519 key, agrees a secret with the recipient's
// public key, derives an AES-256-GCM key and nonce with HKDF-SHA256 (salt: both
// public keys) and encrypts the secret with the caller's associated data and
// the recipient's public key as associated data. The blob is
//   recipient public key (32) | ephemeral public key (32) | cipher (32) | tag (16)
// and is safe to carry: it opens only with the recipient's host key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorv::sealed {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kBlobSize = 32 + 32 + 32 + 16;

using PublicKey = std::array<std::uint8_t, kPublicKeySize>;

enum class Status {
    ok,
    badHostId,    // the host id text is malformed or its checksum does not match
    notThisHost,  // the blob was sealed for another host
    tampered,     // the blob names this host but does not authenticate (changed, or other associated data)
    badBlob,      // the blob does not have the sealed shape
    failure,      // a library failure (no randomness, no X25519)
};

// This host's public key, derived from the host key file's 32 bytes.
Status HostPublicKey(std::span<const std::uint8_t, 32> hostKey, PublicKey &publicKey);

// The one-line text form of a public key: "zorva-host1:" followed by 48
// base64url characters (the key and a 4-byte checksum, so a mistyped id is
// refused rather than sealed for).
std::string FormatHostId(const PublicKey &publicKey);
// Parses FormatHostId's text; surrounding white space is ignored.
Status ParseHostId(std::string_view text, PublicKey &publicKey);

// Seals secret for the host whose public key is recipient; blob receives
// kBlobSize bytes.
Status Seal(const PublicKey &recipient, std::span<const std::uint8_t> aad, std::span<const std::uint8_t, 32> secret,
            std::vector<std::uint8_t> &blob);

// Opens a blob made by Seal with this host's key file bytes and the same
// associated data; secret is left zeroed on failure.
Status Open(std::span<const std::uint8_t, 32> hostKey, std::span<const std::uint8_t> aad,
            std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret);

// The recipient named by a blob (its first 32 bytes); false when too short.
bool BlobRecipient(std::span<const std::uint8_t> blob, PublicKey &recipient);

// A short English description; never null.
const char *StatusText(Status status);

} // namespace zorv::sealed
