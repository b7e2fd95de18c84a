#include "crypto/gcm.h"

#include <climits>

namespace zorv {
namespace {

class FetchedCipher {
public:
    FetchedCipher() : cipher_(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)) {}
    ~FetchedCipher() { EVP_CIPHER_free(cipher_); }
    FetchedCipher(const FetchedCipher &) = delete;
    FetchedCipher &operator=(const FetchedCipher &) = delete;
    EVP_CIPHER *get() const { return cipher_; }

private:
    EVP_CIPHER *cipher_;
};

EVP_CIPHER *Aes256Gcm()
{
    static const FetchedCipher cipher;
    return cipher.get();
}

bool Fits(ConstBytes b) { return b.size() <= static_cast<std::size_t>(INT_MAX); }

} // namespace

Gcm::Gcm() : ctx_(EVP_CIPHER_CTX_new()) {}

Gcm::~Gcm() { EVP_CIPHER_CTX_free(ctx_); }

bool Gcm::SetKey(ConstBytes key)
{
    keyed_ = false;
    if (ctx_ == nullptr || Aes256Gcm() == nullptr || key.size() != kGcmKeySize) {
        return false;
    }
    // The direction is fixed again by every Seal/Open; the key schedule stays.
    keyed_ = EVP_CipherInit_ex2(ctx_, Aes256Gcm(), key.data(), nullptr, 1, nullptr) == 1;
    return keyed_;
}

bool Gcm::Start(const std::uint8_t *key, ConstBytes nonce, int encrypt)
{
    if (ctx_ == nullptr || nonce.size() != kGcmNonceSize) {
        return false;
    }
    if (key == nullptr) {
        return keyed_ && EVP_CipherInit_ex2(ctx_, nullptr, nullptr, nonce.data(), encrypt, nullptr) == 1;
    }
    keyed_ = Aes256Gcm() != nullptr && EVP_CipherInit_ex2(ctx_, Aes256Gcm(), key, nonce.data(), encrypt, nullptr) == 1;
    return keyed_;
}

bool Gcm::SealBody(ConstBytes aad, ConstBytes plain, std::uint8_t *out, ByteSpan tag)
{
    int len = 0;
    if (tag.size() != kGcmTagSize || !Fits(aad) || !Fits(plain)) {
        return false;
    }
    if (!aad.empty() && EVP_CipherUpdate(ctx_, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) {
        return false;
    }
    if (!plain.empty() && EVP_CipherUpdate(ctx_, out, &len, plain.data(), static_cast<int>(plain.size())) != 1) {
        return false;
    }
    // GCM produces no bytes at the end; the sink only satisfies the interface.
    std::uint8_t sink[16];
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx_, sink, &tail) != 1) {
        return false;
    }
    return EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kGcmTagSize), tag.data()) == 1;
}

bool Gcm::OpenBody(ConstBytes aad, ConstBytes cipher, std::uint8_t *out, ConstBytes tag)
{
    int len = 0;
    if (tag.size() != kGcmTagSize || !Fits(aad) || !Fits(cipher)) {
        return false;
    }
    if (!aad.empty() && EVP_CipherUpdate(ctx_, nullptr, &len, aad.data(), static_cast<int>(aad.size())) != 1) {
        return false;
    }
    if (!cipher.empty() && EVP_CipherUpdate(ctx_, out, &len, cipher.data(), static_cast<int>(cipher.size())) != 1) {
        return false;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kGcmTagSize),
                            const_cast<std::uint8_t *>(tag.data())) != 1) {
        return false;
    }
    std::uint8_t sink[16];
    int tail = 0;
    return EVP_CipherFinal_ex(ctx_, sink, &tail) == 1;
}

bool Gcm::Seal(ConstBytes nonce, ConstBytes aad, ConstBytes plain, std::uint8_t *out, ByteSpan tag)
{
    return Start(nullptr, nonce, 1) && SealBody(aad, plain, out, tag);
}

bool Gcm::Open(ConstBytes nonce, ConstBytes aad, ConstBytes cipher, std::uint8_t *out, ConstBytes tag)
{
    return Start(nullptr, nonce, 0) && OpenBody(aad, cipher, out, tag);
}

bool Gcm::SealOnce(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes plain, std::uint8_t *out,
                   ByteSpan tag)
{
    return key.size() == kGcmKeySize && Start(key.data(), nonce, 1) && SealBody(aad, plain, out, tag);
}

bool Gcm::OpenOnce(ConstBytes key, ConstBytes nonce, ConstBytes aad, ConstBytes cipher, std::uint8_t *out,
                   ConstBytes tag)
{
    return key.size() == kGcmKeySize && Start(key.data(), nonce, 0) && OpenBody(aad, cipher, out, tag);
}

} // namespace zorv
