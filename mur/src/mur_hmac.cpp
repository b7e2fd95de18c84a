// HMACs carrying a header that names version, algorithm, domain and key id;
// the MAC covers the header and then the data.
#include <openssl/crypto.h>

#include <array>
#include <cstring>

#include "crypto/byte_cursor.h"
#include "crypto/hmac.h"
#include "key_snapshot.h"
#include "mur.h"

namespace {

constexpr std::uint8_t kHmacVersion = 1;

static_assert(MUR_HMAC_MAX_LEN == MUR_HMAC_HEADER_LEN + zorv::kMaxDigestSize);

bool DigestOf(std::uint32_t algorithm, zorv::Digest &d)
{
    switch (algorithm) {
    case MUR_HMAC_SHA256:
        d = zorv::Digest::Sha256;
        return true;
    case MUR_HMAC_SHA384:
        d = zorv::Digest::Sha384;
        return true;
    case MUR_HMAC_SHA512:
        d = zorv::Digest::Sha512;
        return true;
    default:
        return false;
    }
}

void BuildHeader(std::uint8_t *h, std::uint32_t algorithm, std::uint32_t domain, std::uint32_t keyId)
{
    h[0] = kHmacVersion;
    h[1] = 0;
    zorv::StoreLe16(h + 2, static_cast<std::uint16_t>(algorithm));
    zorv::StoreLe32(h + 4, domain);
    zorv::StoreLe32(h + 8, keyId);
}

bool Mac(zorv::Digest d, const QintKeyRef &key, const std::uint8_t *header, const unsigned char *data,
         std::uint32_t dataLen, std::span<std::uint8_t> out)
{
    zorv::Hmac hmac(d);
    return hmac.Compute(std::span<const std::uint8_t>(key.hmacKey, QINT_KEY_BYTES),
                        {std::span<const std::uint8_t>(header, MUR_HMAC_HEADER_LEN),
                         std::span<const std::uint8_t>(data, dataLen)},
                        out);
}

} // namespace

extern "C" {

MUR_API uint64_t MurGetHmacLenEx(uint32_t *hmacLen)
{
    if (hmacLen == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    *hmacLen = MUR_HMAC_MAX_LEN;
    return 0;
}

MUR_API uint64_t MurHmacEx(uint32_t domain, uint32_t algorithm, const unsigned char *data, uint32_t dataLen,
                           unsigned char *hmac, uint32_t *hmacLen)
{
    if ((data == nullptr && dataLen != 0) || hmac == nullptr || hmacLen == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    zorv::Digest d{};
    if (!DigestOf(algorithm, d)) {
        return MUR_ERR_BAD_ALGORITHM;
    }
    const std::uint32_t total = MUR_HMAC_HEADER_LEN + static_cast<std::uint32_t>(zorv::DigestSize(d));
    if (*hmacLen < total) {
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
    std::uint8_t header[MUR_HMAC_HEADER_LEN];
    BuildHeader(header, algorithm, domain, key.keyId);
    std::array<std::uint8_t, zorv::kMaxDigestSize> mac{};
    if (!Mac(d, key, header, data, dataLen, mac)) {
        return MUR_ERR_CRYPTO;
    }
    std::memcpy(hmac, header, sizeof header);
    std::memcpy(hmac + sizeof header, mac.data(), zorv::DigestSize(d));
    *hmacLen = total;
    return 0;
}

MUR_API uint64_t MurVerifyHmacEx(uint32_t domain, const unsigned char *data, uint32_t dataLen,
                                 const unsigned char *hmac, uint32_t hmacLen)
{
    if ((data == nullptr && dataLen != 0) || hmac == nullptr) {
        return MUR_ERR_BAD_ARGUMENT;
    }
    zorv::ByteReader r(std::span<const std::uint8_t>(hmac, hmacLen));
    const std::uint8_t version = r.U8();
    const std::uint8_t reserved = r.U8();
    const std::uint16_t algorithm = r.U16();
    const std::uint32_t headerDomain = r.U32();
    const std::uint32_t keyId = r.U32();
    if (!r.ok() || version != kHmacVersion || reserved != 0 || keyId == 0) {
        return MUR_ERR_MALFORMED;
    }
    zorv::Digest d{};
    if (!DigestOf(algorithm, d)) {
        return MUR_ERR_BAD_ALGORITHM;
    }
    if (hmacLen != MUR_HMAC_HEADER_LEN + zorv::DigestSize(d)) {
        return MUR_ERR_MALFORMED;
    }
    if (headerDomain != domain) {
        return MUR_ERR_WRONG_DOMAIN;
    }
    mur::KeySnapshot keys;
    QintKeyRef key{};
    if (std::uint64_t rc = keys.status(); rc != 0) {
        return rc;
    }
    if (std::uint64_t rc = keys.Find(domain, keyId, key); rc != 0) {
        return rc;
    }
    std::array<std::uint8_t, zorv::kMaxDigestSize> mac{};
    if (!Mac(d, key, hmac, data, dataLen, mac)) {
        return MUR_ERR_CRYPTO;
    }
    return CRYPTO_memcmp(mac.data(), hmac + MUR_HMAC_HEADER_LEN, zorv::DigestSize(d)) == 0 ? 0
                                                                                              : MUR_ERR_AUTH_FAILED;
}

} // extern "C"
