#include "protect/recovery/recovery_slot.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "crypto/byte_cursor.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

constexpr std::uint64_t kScryptMaxMemory = 512ull << 20;

bool Scrypt(const SecretBytes &passphrase, const ScryptParams &p, Key32 &out)
{
    EVP_KDF *kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SCRYPT, nullptr);
    EVP_KDF_CTX *ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    if (ctx == nullptr) {
        return false;
    }
    std::uint64_t n = std::uint64_t{1} << p.log2N;
    std::uint32_t r = p.r;
    std::uint32_t par = p.p;
    std::uint64_t maxMemory = kScryptMaxMemory;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<std::uint8_t *>(passphrase.data()),
                                          passphrase.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t *>(p.salt.data()),
                                          p.salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &par),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemory),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx); // cleanses its state
    return ok;
}

} // namespace

bool ParseScryptParams(const Slot &s, ScryptParams &out)
{
    ByteReader r(s.params);
    out.log2N = r.U8();
    out.r = r.U32();
    out.p = r.U32();
    r.Copy(out.salt);
    // Bounds keep a tampered slot from asking for unbounded memory or time:
    // at most 2^20 * 16 * 128 bytes = 2 GiB would already be refused by the
    // memory limit of the derivation.
    return r.ok() && r.remaining() == 0 && out.log2N >= 10 && out.log2N <= 20 && out.r >= 1 && out.r <= 16 &&
           out.p >= 1 && out.p <= 4;
}

std::vector<std::uint8_t> EncodeScryptParams(const ScryptParams &p)
{
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.U8(p.log2N);
    w.U32(p.r);
    w.U32(p.p);
    w.Bytes(p.salt);
    return out;
}

std::uint64_t OpenRecoverySecret(Salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret)
{
    ScryptParams p;
    if (!ParseScryptParams(slot, p)) {
        return QINT_ERR_BAD_CONTENT;
    }
    return cached || Scrypt(unlock.passphrase, p, secret) ? 0 : QINT_ERR_CRYPTO;
}

std::uint64_t MakeRecoverySecret(const Callbacks &cb, Salt, const Unlock &unlock, Slot &slot, Key32 &secret)
{
    if (!unlock.hasPassphrase) {
        return QINT_ERR_NO_PASSPHRASE;
    }
    ScryptParams p;
    p.log2N = unlock.scryptLog2N;
    if (!cb.Random(p.salt)) {
        return QINT_ERR_RANDOM;
    }
    slot.params = EncodeScryptParams(p);
    return Scrypt(unlock.passphrase, p, secret) ? 0 : QINT_ERR_CRYPTO;
}

} // namespace zorv
