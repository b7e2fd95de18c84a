// AES-256-GCM cipher texts carrying a header that names version, algorithm,
// domain, key id and nonce; the header is the associated data.
#include <openssl/crypto.h>

#include <cstring>
#include <new>
#include <vector>

#include "crypto/byte_cursor.h"
#include "crypto/gcm.h"
#include "crypto/secret.h"
#include "key_snapshot.h"
#include "mur.h"
#include "nonce_source.h"

namespace {

constexpr std::uint8_t kCipherVersion = 1;
constexpr std::size_t kNonceOffset = 12;
constexpr std::size_t kStackPlain = 2048;

static_assert(MUR_CIPHER_HEADER_LEN == kNonceOffset + zorv::kGcmNonceSize);
static_assert(mur::kNonceSize == zorv::kGcmNonceSize);
static_assert(MUR_CIPHER_OVERHEAD == MUR_CIPHER_HEADER_LEN + zorv::kGcmTagSize);

struct CipherHeader {
    std::uint32_t domain;
    std::uint32_t keyId;
};

std::uint64_t ParseHeader(const unsigned char *cipher, std::uint32_t cipherLen, CipherHeader &h)
{
    zorv::ByteReader r(std::span<const std::uint8_t>(cipher, cipherLen));
    const std::uint8_t version = r.U8();
    const std::uint8_t algorithm = r.U8();
    const std::uint16_t reserved = r.U16();
    h.domain = r.U32();
    h.keyId = r.U32();
    if (!r.ok() || cipherLen < MUR_CIPHER_OVERHEAD || version != kCipherVersion || reserved != 0 || h.keyId == 0) {
        return MUR_ERR_MALFORMED;
    }
    return algorithm == MUR_ALG_AES256_GCM ? 0 : MUR_ERR_BAD_ALGORITHM;
}

} // namespace

extern "C" {

MUR_API uint64_t MurGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen)
{
    if (cipherLen == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    if (plainLen > UINT32_MAX - MUR_CIPHER_OVERHEAD) {
        return MUR_ERR_TOO_LONG;
    }
    *cipherLen = plainLen + MUR_CIPHER_OVERHEAD;
    return 0;
}

MUR_API uint64_t MurEncryptEx(uint32_t domain, uint32_t algorithm, const unsigned char *plain, uint32_t plainLen,
                              unsigned char *cipher, uint32_t *cipherLen)
{
    if ((plain == nullptr && plainLen != 0) || cipher == nullptr || cipherLen == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    if (algorithm != MUR_ALG_AES256_GCM) {
        return MUR_ERR_BAD_ALGORITHM;
    }
    if (plainLen > UINT32_MAX - MUR_CIPHER_OVERHEAD) {
        return MUR_ERR_TOO_LONG;
    }
    const std::uint32_t needed = plainLen + MUR_CIPHER_OVERHEAD;
    if (*cipherLen < needed) {
        return MUR_ERR_BUFFER_TOO_SMALL;
    }
    mur::KeySnapshot keys;
    QintKeyRef key{};
    if (std::uint64_t rc = keys.status(); rc != 0) {
        return rc;
    }
    if (std::uint64_t rc = keys.Find(domain, QINT_ACTIVE_KEY, key); rc != 0) {
        return rc;
    }

    std::uint8_t header[MUR_CIPHER_HEADER_LEN] = {kCipherVersion, MUR_ALG_AES256_GCM, 0, 0};
    zorv::StoreLe32(header + 4, domain);
    zorv::StoreLe32(header + 8, key.keyId);
    if (!mur::NextNonce(std::span<std::uint8_t, mur::kNonceSize>(header + kNonceOffset, mur::kNonceSize))) {
        return MUR_ERR_CRYPTO;
    }
    zorv::Gcm gcm;
    const std::span<const std::uint8_t> nonce(header + kNonceOffset, zorv::kGcmNonceSize);
    unsigned char *body = cipher + MUR_CIPHER_HEADER_LEN;
    if (!gcm.SealOnce(std::span<const std::uint8_t>(key.encKey, QINT_KEY_BYTES), nonce, header,
                      std::span<const std::uint8_t>(plain, plainLen), body,
                      std::span<std::uint8_t>(body + plainLen, zorv::kGcmTagSize))) {
        zorv::Wipe(cipher, needed);
        return MUR_ERR_CRYPTO;
    }
    std::memcpy(cipher, header, sizeof header);
    *cipherLen = needed;
    return 0;
}

MUR_API uint64_t MurDecryptEx(uint32_t domain, const unsigned char *cipher, uint32_t cipherLen, unsigned char *plain,
                              uint32_t *plainLen)
{
    if (cipher == nullptr || plain == nullptr || plainLen == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    CipherHeader h{};
    if (std::uint64_t rc = ParseHeader(cipher, cipherLen, h); rc != 0) {
        return rc;
    }
    if (h.domain != domain) {
        return MUR_ERR_WRONG_DOMAIN;
    }
    const std::uint32_t bodyLen = cipherLen - MUR_CIPHER_OVERHEAD;
    if (*plainLen < bodyLen) {
        return MUR_ERR_BUFFER_TOO_SMALL;
    }
    mur::KeySnapshot keys;
    QintKeyRef key{};
    if (std::uint64_t rc = keys.status(); rc != 0) {
        return rc;
    }
    if (std::uint64_t rc = keys.Find(domain, h.keyId, key); rc != 0) {
        return rc;
    }

    // Decrypt aside and hand over only authenticated plain text.
    try {
        std::uint8_t stackBuffer[kStackPlain];
        zorv::SecretBytes heapBuffer;
        std::uint8_t *scratch = stackBuffer;
        if (bodyLen > sizeof stackBuffer) {
            heapBuffer.resize(bodyLen);
            scratch = heapBuffer.data();
        }
        zorv::ScopedCleanse wipe(scratch, bodyLen);
        zorv::Gcm gcm;
        const std::span<const std::uint8_t> all(cipher, cipherLen);
        if (!gcm.OpenOnce(std::span<const std::uint8_t>(key.encKey, QINT_KEY_BYTES),
                          all.subspan(kNonceOffset, zorv::kGcmNonceSize), all.first(MUR_CIPHER_HEADER_LEN),
                          all.subspan(MUR_CIPHER_HEADER_LEN, bodyLen), scratch,
                          all.subspan(MUR_CIPHER_HEADER_LEN + bodyLen, zorv::kGcmTagSize))) {
            return MUR_ERR_AUTH_FAILED;
        }
        if (bodyLen != 0) {
            std::memcpy(plain, scratch, bodyLen);
        }
        *plainLen = bodyLen;
        return 0;
    } catch (const std::bad_alloc &) {
        return MUR_ERR_CRYPTO;
    }
}

} // extern "C"
