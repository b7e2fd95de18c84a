#include "crypto/admin_key.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <memory>

namespace zorv {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

bool RawPublic(EVP_PKEY *key, AdminPublicKey &out)
{
    std::size_t len = out.size();
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519 &&
           EVP_PKEY_get_raw_public_key(key, out.data(), &len) == 1 && len == out.size();
}

// The bytes a memory BIO holds.
template <typename Out>
bool Drain(BIO *bio, Out &out)
{
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || data == nullptr) {
        return false;
    }
    out.assign(data, data + n);
    return true;
}

Bio ReadOnly(const void *data, std::size_t n)
{
    return Bio(n > 0x7fffffffu ? nullptr : BIO_new_mem_buf(data, static_cast<int>(n)));
}

} // namespace

std::string Base64Text(std::span<const std::uint8_t> bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool FromBase64Text(std::string_view text, std::span<std::uint8_t> out)
{
    std::string padded(text);
    while (padded.size() % 4 != 0) {
        padded.push_back('=');
    }
    const std::size_t expected = 4 * ((out.size() + 2) / 3);
    if (padded.size() != expected || padded.size() > 4096) {
        return false;
    }
    std::uint8_t buffer[3 * 4096 / 4];
    const ScopedCleanse wipe(buffer, sizeof buffer);
    const int n = EVP_DecodeBlock(buffer, reinterpret_cast<const unsigned char *>(padded.data()),
                                  static_cast<int>(padded.size()));
    // EVP_DecodeBlock counts the padding as zero bytes.
    if (n < 0 || static_cast<std::size_t>(n) != expected / 4 * 3) {
        return false;
    }
    for (std::size_t i = out.size(); i < static_cast<std::size_t>(n); ++i) {
        if (buffer[i] != 0) {
            return false;
        }
    }
    std::copy_n(buffer, out.size(), out.begin());
    // Canonical text only: the same bytes must give the same text back.
    const std::string again = Base64Text(out);
    return std::string_view(again).substr(0, text.size()) == text &&
           again.find_first_not_of('=', text.size()) == std::string::npos;
}

std::string AdminFingerprint(const AdminPublicKey &key)
{
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int len = 0;
    if (EVP_Digest(key.data(), key.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1 || len != 32) {
        return {};
    }
    std::string text = Base64Text(std::span<const std::uint8_t>(digest.data(), 32));
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    return "SHA256:" + text;
}

std::string HostIdFingerprint(std::string_view hostIdText)
{
    static constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int len = 0;
    if (EVP_Digest(hostIdText.data(), hostIdText.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::string text;
    std::uint32_t bits = 0;
    int have = 0;
    std::size_t at = 0;
    while (text.size() < 19) {
        if (text.size() % 5 == 4) {
            text += '-';
            continue;
        }
        if (have < 5) {
            bits = (bits << 8) | digest[at++];
            have += 8;
        }
        text += kAlphabet[(bits >> (have - 5)) & 31];
        have -= 5;
    }
    return text;
}

bool MakeAdminKey(SecretBytes &privatePem, std::string &publicPem, AdminPublicKey &publicKey)
{
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    Bio priv(BIO_new(BIO_s_secmem()));
    Bio pub(BIO_new(BIO_s_mem()));
    if (key == nullptr || priv == nullptr || pub == nullptr || !RawPublic(key.get(), publicKey) ||
        PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) {
        return false;
    }
    return Drain(priv.get(), privatePem) && Drain(pub.get(), publicPem);
}

bool AdminPublicFromPem(std::string_view pem, AdminPublicKey &publicKey)
{
    Bio in = ReadOnly(pem.data(), pem.size());
    Pkey key(in != nullptr ? PEM_read_bio_PUBKEY(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key == nullptr) {
        in = ReadOnly(pem.data(), pem.size());
        key.reset(in != nullptr ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    return key != nullptr && RawPublic(key.get(), publicKey);
}

bool AdminSign(const SecretBytes &privatePem, std::span<const std::uint8_t> message, AdminSignature &signature,
               AdminPublicKey &publicKey)
{
    Bio in = ReadOnly(privatePem.data(), privatePem.size());
    // A passphrase prompt would stall a script: encrypted keys are refused.
    Pkey key(in != nullptr ? PEM_read_bio_PrivateKey(in.get(), nullptr,
                                                     [](char *, int, int, void *) { return -1; }, nullptr)
                           : nullptr);
    MdCtx ctx(EVP_MD_CTX_new());
    std::size_t len = signature.size();
    return key != nullptr && ctx != nullptr && RawPublic(key.get(), publicKey) &&
           EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestSign(ctx.get(), signature.data(), &len, message.data(), message.size()) == 1 &&
           len == signature.size();
}

bool AdminVerify(const AdminPublicKey &publicKey, std::span<const std::uint8_t> message,
                 const AdminSignature &signature)
{
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    MdCtx ctx(EVP_MD_CTX_new());
    return key != nullptr && ctx != nullptr &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

} // namespace zorv
