#include "crypto/hmac.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>

#include "crypto/secret.h"

namespace zorv {
namespace {

// Keyed templates, one per digest, prepared once: duplicating one costs an
// allocation, whereas setting the digest by name would fetch it on every use.
class HmacTemplates {
public:
    HmacTemplates()
    {
        mac_ = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
        static constexpr const char *kNames[] = {"SHA256", "SHA384", "SHA512"};
        static constexpr std::uint8_t kDummyKey[32] = {};
        for (std::size_t i = 0; i < templates_.size() && mac_ != nullptr; ++i) {
            EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac_);
            OSSL_PARAM params[] = {
                OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>(kNames[i]), 0),
                OSSL_PARAM_construct_end(),
            };
            if (ctx != nullptr && EVP_MAC_init(ctx, kDummyKey, sizeof kDummyKey, params) == 1) {
                templates_[i] = ctx;
            } else {
                EVP_MAC_CTX_free(ctx);
            }
        }
    }
    ~HmacTemplates()
    {
        for (EVP_MAC_CTX *ctx : templates_) {
            EVP_MAC_CTX_free(ctx);
        }
        EVP_MAC_free(mac_);
    }
    HmacTemplates(const HmacTemplates &) = delete;
    HmacTemplates &operator=(const HmacTemplates &) = delete;

    EVP_MAC_CTX *Duplicate(Digest d) const
    {
        EVP_MAC_CTX *t = templates_[static_cast<std::size_t>(d)];
        return t == nullptr ? nullptr : EVP_MAC_CTX_dup(t);
    }

private:
    EVP_MAC *mac_ = nullptr;
    std::array<EVP_MAC_CTX *, 3> templates_{};
};

const HmacTemplates &Templates()
{
    static const HmacTemplates templates;
    return templates;
}

} // namespace

Hmac::Hmac(Digest digest) : digest_(digest), ctx_(Templates().Duplicate(digest)) {}

Hmac::~Hmac() { EVP_MAC_CTX_free(ctx_); }

bool Hmac::Compute(ByteView key, std::initializer_list<ByteView> parts, std::span<std::uint8_t> out)
{
    if (key.empty()) {
        return false;
    }
    return Run(key.data(), key.size(), parts, out);
}

bool Hmac::ComputeAgain(std::initializer_list<ByteView> parts, std::span<std::uint8_t> out)
{
    // A null key restarts the context with the key it holds.
    return Run(nullptr, 0, parts, out);
}

bool Hmac::Run(const std::uint8_t *key, std::size_t keyLen, std::initializer_list<ByteView> parts,
               std::span<std::uint8_t> out)
{
    const std::size_t size = DigestSize(digest_);
    if (ctx_ == nullptr || out.size() < size) {
        return false;
    }
    if (EVP_MAC_init(ctx_, key, keyLen, nullptr) != 1) {
        return false;
    }
    for (ByteView part : parts) {
        if (!part.empty() && EVP_MAC_update(ctx_, part.data(), part.size()) != 1) {
            return false;
        }
    }
    std::size_t written = 0;
    return EVP_MAC_final(ctx_, out.data(), &written, out.size()) == 1 && written == size;
}

bool HkdfExtract(ByteView salt, ByteView ikm, std::span<std::uint8_t, 32> prk)
{
    static constexpr std::uint8_t kZeroSalt[32] = {};
    Hmac hmac(Digest::Sha256);
    return hmac.Compute(salt.empty() ? ByteView(kZeroSalt) : salt, {ikm}, prk);
}

bool HkdfExpand(Hmac &hmac, ByteView prk, ByteView info, std::span<std::uint8_t> out)
{
    if (out.size() > 255 * 32) {
        return false;
    }
    SecretArray<32> block;
    std::size_t produced = 0;
    for (std::uint8_t counter = 1; produced < out.size(); ++counter) {
        const std::uint8_t c[1] = {counter};
        const ByteView previous = counter == 1 ? ByteView() : ByteView(block.span());
        if (!hmac.Compute(prk, {previous, info, ByteView(c)}, block.span())) {
            return false;
        }
        const std::size_t take = std::min<std::size_t>(32, out.size() - produced);
        std::copy_n(block.data(), take, out.data() + produced);
        produced += take;
    }
    return true;
}

} // namespace zorv
