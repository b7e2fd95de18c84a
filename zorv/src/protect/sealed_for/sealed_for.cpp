#include "protect/sealed_for/sealed_for.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>

#include "crypto/gcm.h"
#include "crypto/hmac.h"
#include "crypto/secret.h"

namespace zorv::sealed {
namespace {

constexpr std::string_view kIdentitySalt = "zorva host identity";
constexpr std::string_view kIdentityInfo = "x25519 private key v1";
constexpr std::string_view kSealInfo = "zorva sealed-for v1 aes-256-gcm key and nonce";

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

ByteView Text(std::string_view s) { return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()}; }

// OpenSSL keeps the private half in memory it cleanses when the key is freed.
Pkey PrivateKey(std::span<const std::uint8_t, 32> raw)
{
    return Pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
}

bool PublicOf(EVP_PKEY *key, PublicKey &out)
{
    std::size_t len = out.size();
    return EVP_PKEY_get_raw_public_key(key, out.data(), &len) == 1 && len == out.size();
}

// Derives the host's X25519 private key from its key file bytes.
bool HostPrivate(std::span<const std::uint8_t, 32> hostKey, Pkey &key)
{
    Key32 prk;
    Key32 raw;
    Hmac hmac(Digest::Sha256);
    if (!HkdfExtract(Text(kIdentitySalt), hostKey, prk.span()) ||
        !HkdfExpand(hmac, prk.span(), Text(kIdentityInfo), raw.span())) {
        return false;
    }
    key = PrivateKey(raw.span());
    return key != nullptr;
}

// X25519 agreement; OpenSSL refuses a peer key of small order (all-zero result).
bool Agree(EVP_PKEY *own, const PublicKey &peer, Key32 &shared)
{
    Pkey peerKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer.data(), peer.size()));
    PkeyCtx ctx(peerKey ? EVP_PKEY_CTX_new(own, nullptr) : nullptr);
    std::size_t len = shared.size();
    return ctx && EVP_PKEY_derive_init(ctx.get()) == 1 && EVP_PKEY_derive_set_peer(ctx.get(), peerKey.get()) == 1 &&
           EVP_PKEY_derive(ctx.get(), shared.data(), &len) == 1 && len == shared.size();
}

// The GCM key (32 bytes) and nonce (12 bytes) for one sealing: the ephemeral
// key is new every time, so a fixed derivation never repeats a nonce.
bool SealKeys(const Key32 &shared, const PublicKey &ephemeral, const PublicKey &recipient,
              SecretArray<kGcmKeySize + kGcmNonceSize> &out)
{
    std::array<std::uint8_t, 2 * kPublicKeySize> salt{};
    std::copy(ephemeral.begin(), ephemeral.end(), salt.begin());
    std::copy(recipient.begin(), recipient.end(), salt.begin() + kPublicKeySize);
    Key32 prk;
    Hmac hmac(Digest::Sha256);
    return HkdfExtract(salt, shared.span(), prk.span()) &&
           HkdfExpand(hmac, prk.span(), Text(kSealInfo), std::span<std::uint8_t>(out.data(), out.size()));
}

std::vector<std::uint8_t> Associated(std::span<const std::uint8_t> aad, const PublicKey &recipient)
{
    std::vector<std::uint8_t> all(aad.begin(), aad.end());
    all.insert(all.end(), recipient.begin(), recipient.end());
    return all;
}

} // namespace

Status HostPublicKey(std::span<const std::uint8_t, 32> hostKey, PublicKey &publicKey)
{
    Pkey key;
    return HostPrivate(hostKey, key) && PublicOf(key.get(), publicKey) ? Status::ok : Status::failure;
}

bool BlobRecipient(std::span<const std::uint8_t> blob, PublicKey &recipient)
{
    if (blob.size() < kPublicKeySize) {
        return false;
    }
    std::copy_n(blob.begin(), kPublicKeySize, recipient.begin());
    return true;
}

Status Seal(const PublicKey &recipient, std::span<const std::uint8_t> aad, std::span<const std::uint8_t, 32> secret,
            std::vector<std::uint8_t> &blob)
{
    blob.clear();
    Key32 raw;
    if (RAND_priv_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        return Status::failure;
    }
    Pkey ephemeral = PrivateKey(raw.span());
    PublicKey ephemeralPublic{};
    Key32 shared;
    SecretArray<kGcmKeySize + kGcmNonceSize> keys;
    if (!ephemeral || !PublicOf(ephemeral.get(), ephemeralPublic)) {
        return Status::failure;
    }
    if (!Agree(ephemeral.get(), recipient, shared)) {
        return Status::badHostId; // a public key of small order is no host's key
    }
    if (!SealKeys(shared, ephemeralPublic, recipient, keys)) {
        return Status::failure;
    }
    std::vector<std::uint8_t> out(kBlobSize);
    std::copy(recipient.begin(), recipient.end(), out.begin());
    std::copy(ephemeralPublic.begin(), ephemeralPublic.end(), out.begin() + kPublicKeySize);
    std::uint8_t *cipher = out.data() + 2 * kPublicKeySize;
    Gcm gcm;
    if (!gcm.SealOnce(ConstBytes(keys.data(), kGcmKeySize), ConstBytes(keys.data() + kGcmKeySize, kGcmNonceSize),
                      Associated(aad, recipient), secret, cipher, ByteSpan(cipher + 32, kGcmTagSize))) {
        return Status::failure;
    }
    blob = std::move(out);
    return Status::ok;
}

Status Open(std::span<const std::uint8_t, 32> hostKey, std::span<const std::uint8_t> aad,
            std::span<const std::uint8_t> blob, std::span<std::uint8_t, 32> secret)
{
    std::fill(secret.begin(), secret.end(), std::uint8_t{0});
    if (blob.size() != kBlobSize) {
        return Status::badBlob;
    }
    Pkey own;
    PublicKey ownPublic{};
    if (!HostPrivate(hostKey, own) || !PublicOf(own.get(), ownPublic)) {
        return Status::failure;
    }
    PublicKey recipient{};
    PublicKey ephemeralPublic{};
    BlobRecipient(blob, recipient);
    std::copy_n(blob.begin() + kPublicKeySize, kPublicKeySize, ephemeralPublic.begin());
    if (recipient != ownPublic) {
        return Status::notThisHost;
    }
    Key32 shared;
    SecretArray<kGcmKeySize + kGcmNonceSize> keys;
    if (!Agree(own.get(), ephemeralPublic, shared)) {
        return Status::tampered;
    }
    if (!SealKeys(shared, ephemeralPublic, ownPublic, keys)) {
        return Status::failure;
    }
    const std::uint8_t *cipher = blob.data() + 2 * kPublicKeySize;
    Key32 plain;
    Gcm gcm;
    if (!gcm.OpenOnce(ConstBytes(keys.data(), kGcmKeySize), ConstBytes(keys.data() + kGcmKeySize, kGcmNonceSize),
                      Associated(aad, ownPublic), ConstBytes(cipher, 32), plain.data(),
                      ConstBytes(cipher + 32, kGcmTagSize))) {
        return Status::tampered;
    }
    std::copy_n(plain.data(), secret.size(), secret.begin());
    return Status::ok;
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::ok: return "sealed secret opened";
    case Status::badHostId: return "the host id is malformed or mistyped";
    case Status::notThisHost: return "the copy was sealed for another host";
    case Status::tampered: return "the sealed copy does not authenticate (changed since it was sealed)";
    case Status::badBlob: return "the sealed copy is malformed";
    case Status::failure: break;
    }
    return "cryptographic library failure";
}

} // namespace zorv::sealed
