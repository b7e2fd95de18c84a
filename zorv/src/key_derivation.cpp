#include "key_derivation.h"

namespace zorv {
namespace {

// Built-in half of a format-1 store's root key. Together with the salt it
// only keeps key material out of plain sight in the files; whoever holds both
// this library and such a store file can unwrap its keys. Only read, never
// used for a new store.
constexpr std::uint8_t kBuiltInComponent[32] = {
    0x3b, 0x91, 0x5e, 0xc2, 0x07, 0xd4, 0x68, 0xaf, 0x1c, 0x73, 0xe9, 0x20, 0x8d, 0x46, 0xb5, 0x0a,
    0xf1, 0x2e, 0x97, 0x5c, 0xc8, 0x33, 0x6b, 0xde, 0x04, 0x89, 0x71, 0xa6, 0x1f, 0xe2, 0x58, 0xbd,
};

ByteView Label(std::string_view s) { return ByteView(reinterpret_cast<const std::uint8_t *>(s.data()), s.size()); }

constexpr std::string_view kRootLabel = "zorv keystore root v1";
constexpr std::string_view kWrapLabel = "zorv keystore wrap v1";
constexpr std::string_view kFileMacLabel = "zorv keystore file-mac v1";
constexpr std::string_view kEncLabel = "zorv data encrypt v1";
constexpr std::string_view kHmacLabel = "zorv data hmac v1";

// Longest concatenation of slot secrets (host key and TPM secret).
constexpr std::size_t kMaxSlotSecrets = 64;

} // namespace

bool DeriveBuiltinRoot(std::span<const std::uint8_t, 32> salt, Key32 &root)
{
    Key32 prk;
    Hmac hmac(Digest::Sha256);
    return HkdfExtract(salt, ByteView(kBuiltInComponent), prk.span()) &&
           HkdfExpand(hmac, prk.span(), Label(kRootLabel), root.span());
}

bool DeriveFileKeys(const Key32 &root, FileKeys &out)
{
    Hmac hmac(Digest::Sha256);
    return HkdfExpand(hmac, root.span(), Label(kWrapLabel), out.wrap.span()) &&
           HkdfExpand(hmac, root.span(), Label(kFileMacLabel), out.mac.span());
}

bool DeriveSlotKey(std::string_view label, std::span<const std::uint8_t, 32> salt,
                   std::span<const std::span<const std::uint8_t>> secrets, Key32 &out)
{
    SecretArray<kMaxSlotSecrets> ikm;
    std::size_t used = 0;
    for (const auto &s : secrets) {
        if (s.size() > ikm.size() - used) {
            return false;
        }
        std::copy(s.begin(), s.end(), ikm.data() + used);
        used += s.size();
    }
    Key32 prk;
    Hmac hmac(Digest::Sha256);
    return used > 0 && HkdfExtract(salt, ByteView(ikm.data(), used), prk.span()) &&
           HkdfExpand(hmac, prk.span(), Label(label), out.span());
}

bool DeriveDataKeys(Hmac &hmac, const Key32 &domainKey, Key32 &encKey, Key32 &hmacKey)
{
    // Domain keys are uniformly random, so they serve as HKDF's
    // pseudorandom key directly (expand only). A 32-byte output is the
    // first expand block alone, HMAC(key, label || 0x01): the two labels
    // share one setup of the key.
    static_assert(Key32::size() == 32);
    static constexpr std::uint8_t kFirstBlock[1] = {1};
    return hmac.Compute(domainKey.span(), {Label(kEncLabel), ByteView(kFirstBlock)}, encKey.span()) &&
           hmac.ComputeAgain({Label(kHmacLabel), ByteView(kFirstBlock)}, hmacKey.span());
}

} // namespace zorv
