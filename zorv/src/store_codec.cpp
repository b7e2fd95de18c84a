#include "store_codec.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <new>

#include "crypto/byte_cursor.h"
#include "crypto/gcm.h"
#include "domains.h"
#include "protect/protector.h"

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

bool AllZero(std::span<const std::uint8_t> b)
{
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

void Forget(StoreImage &out)
{
    out.keys.clear(); // never half-used
    out.wrapKey = Key32();
    out.root = Key32();
}

std::uint64_t DecodeSteps(std::span<const std::uint8_t> file, const Unlock &unlock, StoreImage &out, bool unwrap)
{
    StoreLayout layout;
    if (const std::uint64_t rc = ParseStoreHeader(file, out, layout); rc != 0) {
        return rc;
    }
    if (const std::uint64_t rc = OpenStoreRoot(out, unlock); rc != 0) {
        return rc;
    }
    FileKeys keys;
    if (const std::uint64_t rc = VerifyStoreMac(file, out.root, keys); rc != 0) {
        return rc;
    }
    if (layout.flags != 0) {
        return QINT_ERR_BAD_CONTENT;
    }
    if (const std::uint64_t rc = ParseKeyIndex(file, layout, out); rc != 0) {
        return rc;
    }
    out.wrapKey = keys.wrap;
    if (!unwrap) {
        return 0;
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
    return 0;
}

} // namespace

std::uint64_t ParseStoreHeader(std::span<const std::uint8_t> file, StoreImage &out, StoreLayout &layout)
{
    ByteReader r(file);
    auto magic = r.Take(kMagic.size());
    if (!r.ok()) {
        return QINT_ERR_BAD_LENGTH;
    }
    if (!std::equal(magic.begin(), magic.end(), kMagic.begin())) {
        return QINT_ERR_BAD_MAGIC;
    }
    out.version = r.U16();
    if (!r.ok()) {
        return QINT_ERR_BAD_LENGTH;
    }
    if (out.version != kStoreVersion && out.version != kStoreVersionSlots && out.version != kStoreVersionBuiltin) {
        return QINT_ERR_UNSUPPORTED_VERSION;
    }
    layout.flags = r.U16();
    out.counter = r.U64();
    out.created = static_cast<std::int64_t>(r.U64());
    out.updated = static_cast<std::int64_t>(r.U64());
    r.Copy(out.salt);
    layout.count = r.U32();
    out.slots.clear();
    out.hasId = out.version == kStoreVersion;
    layout.entrySize = out.hasId ? kStoreEntrySize : kStoreEntrySizeV2;
    if (!out.Builtin()) {
        const std::uint8_t slots = r.U8();
        const auto zero = r.Take(3);
        if (out.hasId) {
            r.Copy(out.id);
        }
        if (!r.ok() || slots == 0 || slots > kMaxSlots || !AllZero(zero)) {
            return QINT_ERR_BAD_LENGTH;
        }
        out.slots.resize(slots);
        for (Slot &s : out.slots) {
            if (!ReadSlot(r, s)) {
                return QINT_ERR_BAD_LENGTH;
            }
        }
    }
    layout.entriesAt = r.position();
    if (!r.ok() || layout.count > kMaxStoreEntries ||
        r.remaining() != std::size_t{layout.count} * layout.entrySize + kStoreMacSize) {
        return QINT_ERR_BAD_LENGTH;
    }
    return 0;
}

std::uint64_t OpenStoreRoot(StoreImage &image, const Unlock &unlock)
{
    if (image.Builtin()) {
        image.openedSlot = 0;
        return DeriveBuiltinRoot(image.salt, image.root) ? 0 : QINT_ERR_CRYPTO;
    }
    return OpenRoot(image.salt, image.slots, unlock, image.root, image.openedSlot);
}

std::uint64_t VerifyStoreMac(std::span<const std::uint8_t> file, const Key32 &root, FileKeys &keys)
{
    if (file.size() < kStoreMacSize || !DeriveFileKeys(root, keys)) {
        return file.size() < kStoreMacSize ? QINT_ERR_BAD_LENGTH : QINT_ERR_CRYPTO;
    }
    std::array<std::uint8_t, kStoreMacSize> mac{};
    const ScopedCleanse wipeMac(mac.data(), mac.size());
    const auto body = file.first(file.size() - kStoreMacSize);
    if (!FileMac(keys, body, mac)) {
        return QINT_ERR_CRYPTO;
    }
    return CRYPTO_memcmp(mac.data(), file.data() + body.size(), kStoreMacSize) == 0 ? 0 : QINT_ERR_BAD_MAC;
}

std::uint64_t ParseKeyIndex(std::span<const std::uint8_t> file, const StoreLayout &layout, StoreImage &image)
{
    ByteReader r(file);
    r.Take(layout.entriesAt);
    image.keys.clear();
    image.keys.reserve(layout.count);
    for (std::uint32_t i = 0; i < layout.count; ++i) {
        KeyRecord &k = image.keys.emplace_back();
        k.domain = r.U32();
        k.keyId = r.U32();
        k.state = r.U8();
        auto reserved = r.Take(3);
        k.created = static_cast<std::int64_t>(r.U64());
        k.changed = layout.entrySize == kStoreEntrySize ? static_cast<std::int64_t>(r.U64()) : 0;
        r.Copy(k.nonce);
        r.Copy(k.wrapped);
        r.Copy(k.tag);
        if (!r.ok()) {
            return QINT_ERR_BAD_LENGTH; // not reached: the length was checked
        }
        if (!AllZero(reserved)) {
            return QINT_ERR_BAD_CONTENT;
        }
    }
    return CheckKeyTable(image);
}

std::uint64_t CheckKeyTable(const StoreImage &image)
{
    std::array<int, kDomainIds.size()> active{};
    std::vector<std::uint64_t> ids;
    ids.reserve(image.keys.size());
    for (const KeyRecord &k : image.keys) {
        const int d = DomainIndex(k.domain);
        const bool knownState = k.state == kKeyActive || k.state == kKeyRetired ||
                                (k.state == kKeyDisabled && image.version == kStoreVersion);
        if (d < 0 || k.keyId == 0 || !knownState) {
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

std::uint64_t DecodeStore(std::span<const std::uint8_t> file, const Unlock &unlock, StoreImage &out, bool unwrap)
{
    try {
        const std::uint64_t rc = DecodeSteps(file, unlock, out, unwrap);
        if (rc != 0) {
            Forget(out);
        }
        return rc;
    } catch (const std::bad_alloc &) {
        Forget(out);
        return QINT_ERR_NO_MEMORY;
    }
}

std::uint64_t EncodeStore(const Callbacks &cb, const StoreImage &image, SecretBytes &out)
{
    if (image.Builtin()) {
        return QINT_ERR_BUILTIN_ONLY;
    }
    if (!image.hasId) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (CheckKeyTable(image) != 0 || image.keys.size() > kMaxStoreEntries || image.slots.empty() ||
        image.slots.size() > kMaxSlots) {
        return QINT_ERR_BAD_CONTENT;
    }
    try {
        FileKeys keys;
        Gcm gcm;
        if (!DeriveFileKeys(image.root, keys) || !gcm.SetKey(keys.wrap.span())) {
            return QINT_ERR_CRYPTO;
        }
        out.clear();
        out.reserve(kStoreHeaderSize + image.slots.size() * (kSlotFixedSize + 256) +
                    image.keys.size() * kStoreEntrySize + kStoreMacSize);
        ByteWriter w(out);
        w.Bytes(kMagic);
        w.U16(kStoreVersion);
        w.U16(0);
        w.U64(image.counter);
        w.U64(static_cast<std::uint64_t>(image.created));
        w.U64(static_cast<std::uint64_t>(image.updated));
        w.Bytes(image.salt);
        w.U32(static_cast<std::uint32_t>(image.keys.size()));
        w.U8(static_cast<std::uint8_t>(image.slots.size()));
        w.Bytes(std::array<std::uint8_t, 3>{});
        w.Bytes(image.id);
        for (const Slot &s : image.slots) {
            WriteSlot(w, s);
        }
        for (const KeyRecord &k : image.keys) {
            std::array<std::uint8_t, kGcmNonceSize> nonce{};
            std::array<std::uint8_t, 32> wrapped{};
            std::array<std::uint8_t, kGcmTagSize> tag{};
            const ScopedCleanse wipeNonce(nonce.data(), nonce.size()), wipeWrapped(wrapped.data(), wrapped.size()),
                wipeTag(tag.data(), tag.size());
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
            w.U64(static_cast<std::uint64_t>(k.changed));
            w.Bytes(nonce);
            w.Bytes(wrapped);
            w.Bytes(tag);
        }
        std::array<std::uint8_t, kStoreMacSize> mac{};
        const ScopedCleanse wipeMac(mac.data(), mac.size());
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
