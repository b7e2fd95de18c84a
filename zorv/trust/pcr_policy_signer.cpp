// Signer keys: from PEM to the public area the TPM is given, and signing.
#include "trust/pcr_policy.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <vector>

namespace zorv {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Pkey ReadPem(std::span<const std::uint8_t> pem, bool privateKey)
{
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr) {
        return nullptr;
    }
    EVP_PKEY *key = privateKey ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)
                               : PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    return Pkey(key);
}

bool BnParam(const EVP_PKEY *key, const char *name, Bn &out)
{
    BIGNUM *b = nullptr;
    const bool ok = EVP_PKEY_get_bn_param(key, name, &b) == 1;
    out.reset(b);
    return ok;
}

bool PublicArea(const EVP_PKEY *key, TPMT_PUBLIC &out, std::string &why)
{
    out = TPMT_PUBLIC{};
    out.nameAlg = TPM2_ALG_SHA256;
    out.objectAttributes = kSignerAttributes;
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[64] = {};
        std::size_t length = 0;
        Bn x, y;
        if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1 ||
            std::strcmp(group, "prime256v1") != 0) {
            why = "an ECC key on another curve than P-256";
            return false;
        }
        if (!BnParam(key, OSSL_PKEY_PARAM_EC_PUB_X, x) || !BnParam(key, OSSL_PKEY_PARAM_EC_PUB_Y, y)) {
            why = "the ECC key's point cannot be read";
            return false;
        }
        out.type = TPM2_ALG_ECC;
        TPMS_ECC_PARMS &ecc = out.parameters.eccDetail;
        ecc.symmetric.algorithm = TPM2_ALG_NULL;
        ecc.scheme.scheme = TPM2_ALG_NULL;
        ecc.curveID = TPM2_ECC_NIST_P256;
        ecc.kdf.scheme = TPM2_ALG_NULL;
        out.unique.ecc.x.size = 32;
        out.unique.ecc.y.size = 32;
        return BN_bn2binpad(x.get(), out.unique.ecc.x.buffer, 32) == 32 &&
               BN_bn2binpad(y.get(), out.unique.ecc.y.buffer, 32) == 32;
    }
    if (EVP_PKEY_is_a(key, "RSA")) {
        const int bits = EVP_PKEY_get_bits(key);
        Bn n, e;
        if (bits != 2048 && bits != 3072) {
            why = "an RSA key of " + std::to_string(bits) + " bits (2048 or 3072 are taken)";
            return false;
        }
        if (!BnParam(key, OSSL_PKEY_PARAM_RSA_N, n) || !BnParam(key, OSSL_PKEY_PARAM_RSA_E, e) ||
            BN_num_bits(e.get()) > 32) {
            why = "the RSA key's modulus or exponent cannot be read";
            return false;
        }
        out.type = TPM2_ALG_RSA;
        TPMS_RSA_PARMS &rsa = out.parameters.rsaDetail;
        rsa.symmetric.algorithm = TPM2_ALG_NULL;
        rsa.scheme.scheme = TPM2_ALG_NULL;
        rsa.keyBits = static_cast<TPMI_RSA_KEY_BITS>(bits);
        const auto exponent = static_cast<std::uint32_t>(BN_get_word(e.get()));
        rsa.exponent = exponent == kRsaDefaultExponent ? 0 : exponent;
        out.unique.rsa.size = static_cast<UINT16>(bits / 8);
        return BN_bn2binpad(n.get(), out.unique.rsa.buffer, bits / 8) == bits / 8;
    }
    why = "not an ECC P-256 or RSA key";
    return false;
}

bool Sign(EVP_PKEY *key, const PolicyDigest &hash, TPMT_SIGNATURE &out)
{
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const bool rsa = EVP_PKEY_is_a(key, "RSA");
    std::size_t length = 0;
    if (ctx == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        (rsa && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, hash.data(), hash.size()) != 1) {
        return false;
    }
    std::vector<std::uint8_t> sig(length);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &length, hash.data(), hash.size()) != 1) {
        return false;
    }
    sig.resize(length);
    out = TPMT_SIGNATURE{};
    if (rsa) {
        if (sig.size() > sizeof(out.signature.rsassa.sig.buffer)) {
            return false;
        }
        out.sigAlg = TPM2_ALG_RSASSA;
        out.signature.rsassa.hash = TPM2_ALG_SHA256;
        out.signature.rsassa.sig.size = static_cast<UINT16>(sig.size());
        std::copy(sig.begin(), sig.end(), out.signature.rsassa.sig.buffer);
        return true;
    }
    // ECDSA comes as DER (r, s); the TPM takes both as 32-byte numbers.
    const unsigned char *der = sig.data();
    ECDSA_SIG *parsed = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(sig.size()));
    if (parsed == nullptr) {
        return false;
    }
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    ECDSA_SIG_get0(parsed, &r, &s);
    out.sigAlg = TPM2_ALG_ECDSA;
    TPMS_SIGNATURE_ECC &ecc = out.signature.ecdsa;
    ecc.hash = TPM2_ALG_SHA256;
    ecc.signatureR.size = 32;
    ecc.signatureS.size = 32;
    const bool ok = BN_bn2binpad(r, ecc.signatureR.buffer, 32) == 32 && BN_bn2binpad(s, ecc.signatureS.buffer, 32) == 32;
    ECDSA_SIG_free(parsed);
    return ok;
}

} // namespace

bool SignerFromPem(std::span<const std::uint8_t> pem, bool privateKey, TPMT_PUBLIC &out, std::string &why)
{
    const Pkey key = ReadPem(pem, privateKey);
    if (key == nullptr) {
        const std::string_view text(reinterpret_cast<const char *>(pem.data()), pem.size());
        why = !privateKey && text.find("PRIVATE KEY-----") != std::string_view::npos
                  ? "a private key: give its public key ('openssl pkey -in KEY -pubout')"
                  : std::string("not a ") + (privateKey ? "private" : "public") + " key in PEM";
        return false;
    }
    return PublicArea(key.get(), out, why);
}

bool SignPolicy(std::span<const std::uint8_t> privatePem, std::uint32_t mask, const PcrValues &values,
                SignedPcrPolicy &out, std::string &why)
{
    out = SignedPcrPolicy{};
    const Pkey key = ReadPem(privatePem, true);
    if (key == nullptr) {
        why = "not a private key in PEM (or its passphrase was not given)";
        return false;
    }
    if (!PublicArea(key.get(), out.signer, why)) {
        return false;
    }
    out.pcrMask = mask;
    for (std::uint32_t i = 0; i < kPcrCount; ++i) {
        if ((mask >> i) & 1u) {
            out.values[i] = values[i];
        }
    }
    PolicyDigest approved{}, hash{};
    if (mask == 0 || mask >= (1u << kPcrCount) || !SignerName(out.signer, out.signerName) ||
        !PcrPolicyDigest(mask, out.values, approved) || !ApprovalHash(approved, hash) ||
        !Sign(key.get(), hash, out.signature)) {
        ERR_clear_error();
        why = "the crypto library failed to sign";
        return false;
    }
    return true;
}

} // namespace zorv
