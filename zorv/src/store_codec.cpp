#include "store_codec.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <new>

#include "byte_cursor.h"
#include "crypto/gcm.h"
#include "domains.h"
#include "key_derivation.h"

namespace zorv {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Z', 'V', 'K', 'S'};

std::array<std::uint8_t, 8> WrapAad(std::uint32_t domain, std::uint32_t keyId)
{
    std::array<std::uint8_t, 8> aad{};
    StoreLe32(aad.data(), domain);
    StoreLe32(aad.data() + 4, keyId);
    return aad;
}

bool FileMac(const FileKeys &keys, std::span<const std::uint8_t> body, std::span<std::uint8_t, 32> mac)
{
    Hmac hmac(Digest::Sha256);
    return hmac.Compute(keys.mac.span(), {body}, mac);
}

std::uint64_t DecodeChecked(std::span<const std::uint8_t> file, StoreImage &out, bool unwrap)
{
    ByteReader r(file);
    auto magic = r.Take(kMagic.size());
    if (!r.ok()) {
        return QINT_ERR_BAD_LENGTH;
    }
    if (!std::equal(magic.begin(), magic.end(), kMagic.begin())) {
        return QINT_ERR_BAD_MAGIC;
    }
    const std::uint16_t version = r.U16();
    if (!r.ok()) {
        return QINT_ERR_BAD_LENGTH;
    }
    if (version != kStoreVersion) {
        return QINT_ERR_UNSUPPORTED_VERSION;
    }
    const std::uint16_t flags = r.U16();
    out.counter = r.U64();
    out.created = static_cast<std::int64_t>(r.U64());
    out.updated = static_cast<std::int64_t>(r.U64());
    r.Copy(out.salt);
    const std::uint32_t count = r.U32();
    if (!r.ok() || count > kMaxStoreEntries ||
        file.size() != kStoreHeaderSize + count * kStoreEntrySize + kStoreMacSize) {
        return QINT_ERR_BAD_LENGTH;
    }

    FileKeys keys;
    if (!DeriveFileKeys(out.salt, keys)) {
        return QINT_ERR_CRYPTO;
    }
    std::array<std::uint8_t, kStoreMacSize> mac{};
    const auto body = file.first(file.size() - kStoreMacSize);
    if (!FileMac(keys, body, mac)) {
        return QINT_ERR_CRYPTO;
    }
    if (CRYPTO_memcmp(mac.data(), file.data() + body.size(), kStoreMacSize) != 0) {
        return QINT_ERR_BAD_MAC;
    }
    if (flags != 0) {
        return QINT_ERR_BAD_CONTENT;
    }

    out.wrapKey = keys.wrap;
    out.keys.clear();
    out.keys.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        KeyRecord &k = out.keys.emplace_back();
        k.domain = r.U32();
        k.keyId = r.U32();
        k.state = r.U8();
        auto reserved = r.Take(3);
        k.created = static_cast<std::int64_t>(r.U64());
        r.Copy(k.nonce);
        r.Copy(k.wrapped);
        r.Copy(k.tag);
        if (!r.ok()) {
            return QINT_ERR_BAD_LENGTH; // not reached: the length was checked
        }
        if (std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; })) {
            return QINT_ERR_BAD_CONTENT;
        }
    }
    if (const std::uint64_t rc = CheckKeyTable(out); rc != 0 || !unwrap) {
        return rc;
    }
    Gcm gcm;
    if (!gcm.SetKey(keys.wrap.span())) {
        return QINT_ERR_CRYPTO;
    }
    for (KeyRecord &k : out.keys) {
        if (!UnwrapKey(gcm, k)) {
            return QINT_ERR_BAD_CONTENT;
        }
    }
    return CheckKeyTable(out);
}

} // namespace

std::uint64_t CheckKeyTable(const StoreImage &image)
{
    std::array<int, kDomainIds.size()> active{};
    std::vector<std::uint64_t> ids;
    ids.reserve(image.keys.size());
    for (const KeyRecord &k : image.keys) {
        const int d = DomainIndex(k.domain);
        if (d < 0 || k.keyId == 0 || (k.state != kKeyActive && k.state != kKeyRetired)) {
            return QINT_ERR_BAD_CONTENT;
        }
        active[static_cast<std::size_t>(d)] += k.state == kKeyActive;
        ids.push_back((std::uint64_t{k.domain} << 32) | k.keyId);
    }
    if (std::any_of(active.begin(), active.end(), [](int n) { return n != 1; })) {
        return QINT_ERR_BAD_CONTENT;
    }
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end() ? 0 : QINT_ERR_BAD_CONTENT;
}

bool UnwrapKey(Gcm &gcm, KeyRecord &k)
{
    const auto aad = WrapAad(k.domain, k.keyId);
    return gcm.Open(k.nonce, aad, k.wrapped, k.key.data(), k.tag);
}

std::uint64_t DecodeStore(std::span<const std::uint8_t> file, StoreImage &out, bool unwrap)
{
    try {
        const std::uint64_t rc = DecodeChecked(file, out, unwrap);
        if (rc != 0) {
                out.keys.clear(); // never half-used
            out.wrapKey = Key32();
        }
        return rc;
    } catch (const std::bad_alloc &) {
        out.keys.clear();
        return QINT_ERR_NO_MEMORY;
    }
}

std::uint64_t EncodeStore(const Callbacks &cb, const StoreImage &image, std::vector<std::uint8_t> &out)
{
    if (CheckKeyTable(image) != 0 || image.keys.size() > kMaxStoreEntries) {
        return QINT_ERR_BAD_CONTENT;
    }
    try {
        FileKeys keys;
        Gcm gcm;
        if (!DeriveFileKeys(image.salt, keys) || !gcm.SetKey(keys.wrap.span())) {
            return QINT_ERR_CRYPTO;
        }
        out.clear();
        out.reserve(kStoreHeaderSize + image.keys.size() * kStoreEntrySize + kStoreMacSize);
        ByteWriter w(out);
        w.Bytes(kMagic);
        w.U16(kStoreVersion);
        w.U16(0);
        w.U64(image.counter);
        w.U64(static_cast<std::uint64_t>(image.created));
        w.U64(static_cast<std::uint64_t>(image.updated));
        w.Bytes(image.salt);
        w.U32(static_cast<std::uint32_t>(image.keys.size()));
        for (const KeyRecord &k : image.keys) {
            std::array<std::uint8_t, kGcmNonceSize> nonce{};
            std::array<std::uint8_t, 32> wrapped{};
            std::array<std::uint8_t, kGcmTagSize> tag{};
            if (!cb.Random(nonce)) {
                return QINT_ERR_RANDOM;
            }
            const auto aad = WrapAad(k.domain, k.keyId);
            if (!gcm.Seal(nonce, aad, k.key.span(), wrapped.data(), tag)) {
                return QINT_ERR_CRYPTO;
            }
            w.U32(k.domain);
            w.U32(k.keyId);
            w.U8(k.state);
            w.Bytes(std::array<std::uint8_t, 3>{});
            w.U64(static_cast<std::uint64_t>(k.created));
            w.Bytes(nonce);
            w.Bytes(wrapped);
            w.Bytes(tag);
        }
        std::array<std::uint8_t, kStoreMacSize> mac{};
        if (!FileMac(keys, out, mac)) {
            return QINT_ERR_CRYPTO;
        }
        w.Bytes(mac);
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

bool PeekCounter(std::span<const std::uint8_t> file, std::uint64_t &counter)
{
    ByteReader r(file);
    r.Take(8);
    counter = r.U64();
    return r.ok();
}

} // namespace zorv
