// AES-256-GCM with a 12-byte nonce and a 16-byte tag, over OpenSSL's EVP
// cipher interface with the implementation fetched once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/evp.h>

namespace zorv {

constexpr std::size_t kGcmKeySize = 32;
constexpr std::size_t kGcmNonceSize = 12;
constexpr std::size_t kGcmTagSize = 16;

using ByteSpan = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

// One cipher context holding one key, reused for any number of messages.
// The key schedule is wiped when the object dies.
class Gcm {
public:
    Gcm();
    ~Gcm();
    Gcm(const Gcm &) = delete;
    Gcm &operator=(const Gcm &) = delete;

    bool SetKey(ConstBytes key);
    // out must be as long as plain; tag gets 16 bytes.
    bool Seal(ConstBytes nonce, ConstBytes aad, ConstBytes plain, std::uint8_t *out, ByteSpan tag);
    // Decrypts into out (as long as cipher) and checks the tag. On false the
    // content of out is unauthenticated: the caller wipes and discards it.
    bool Open(ConstBytes nonce, ConstBytes aad, ConstBytes cipher, std::uint8_t *out, ConstBytes tag);

    // One message under key: key and nonce set up in one step.
    bool SealOnce(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes plain, std::uint8_t *out,
                  ByteSpan tag);
    bool OpenOnce(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes cipher, std::uint8_t *out,
                  ConstBytes tag);

private:
    bool Start(const std::uint8_t *key, ConstBytes nonce, int encrypt);
    bool SealBody(ConstBytes aad, ConstBytes plain, std::uint8_t *out, ByteSpan tag);
    bool OpenBody(ConstBytes aad, ConstBytes cipher, std::uint8_t *out, ConstBytes tag);

    EVP_CIPHER_CTX *ctx_;
    bool keyed_ = false;
};

} // namespace zorv
