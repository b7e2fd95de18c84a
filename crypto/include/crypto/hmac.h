// HMAC-SHA2 and HKDF-SHA256 over OpenSSL's EVP_MAC, with the MAC and digest
// implementations fetched once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include <openssl/evp.h>

namespace zorv {

enum class Digest { Sha256 = 0, Sha384 = 1, Sha512 = 2 };

constexpr std::size_t DigestSize(Digest d)
{
    return d == Digest::Sha256 ? 32 : d == Digest::Sha384 ? 48 : 64;
}
constexpr std::size_t kMaxDigestSize = 64;

using ByteView = std::span<const std::uint8_t>;

// One HMAC context of a fixed digest, re-keyed for every computation. Cheap
// to create (a copy of a prepared template); wipes its state when destroyed.
class Hmac {
public:
    explicit Hmac(Digest digest);
    ~Hmac();
    Hmac(const Hmac &) = delete;
    Hmac &operator=(const Hmac &) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // MAC of the concatenated parts under key; out must hold DigestSize bytes.
    bool Compute(ByteView key, std::initializer_list<ByteView> parts, std::span<std::uint8_t> out);
    // The same under the key of the last successful Compute, without
    // setting it up again.
    bool ComputeAgain(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out);

private:
    bool Run(const std::uint8_t *key, std::size_t keyLen, std::initializer_list<ByteView> parts,
             std::span<std::uint8_t> out);

    Digest digest_;
    EVP_MAC_CTX *ctx_;
};

// HKDF-SHA256 (RFC 5869). Extract: prk (32 bytes) from salt and input key.
bool HkdfExtract(ByteView salt, ByteView ikm, std::span<std::uint8_t, 32> prk);
// Expand: fills out (at most 255 * 32 bytes) from prk and info.
bool HkdfExpand(Hmac &hmac, ByteView prk, ByteView info, std::span<std::uint8_t> out);

} // namespace zorv
