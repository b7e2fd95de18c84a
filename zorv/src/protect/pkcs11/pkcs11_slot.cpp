#include "protect/pkcs11/pkcs11_slot.h"

#include <cstdio>
#include <string_view>

#include "crypto/byte_cursor.h"
#include "protect/pkcs11/pkcs11_pin.h"
#include "protect/pkcs11/pkcs11_token.h"
#include "protect/pkcs11/pkcs11_uri.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

constexpr std::size_t kMaxText = 1024;

std::span<const std::uint8_t> Text(const std::string &s)
{
    return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

// What the token authenticates with the wrapped secret.
std::vector<std::uint8_t> TokenAad(std::span<const std::uint8_t, 32> salt, std::uint8_t id, const std::string &uri,
                                   const std::string &module)
{
    std::vector<std::uint8_t> aad;
    aad.reserve(salt.size() + 6 + uri.size() + module.size());
    ByteWriter w(aad);
    w.Bytes(salt);
    w.U8(static_cast<std::uint8_t>(QINT_PROTECT_PKCS11));
    w.U8(id);
    w.U16(static_cast<std::uint16_t>(uri.size()));
    w.Bytes(Text(uri));
    w.U16(static_cast<std::uint16_t>(module.size()));
    w.Bytes(Text(module));
    return aad;
}

// The PIN: the one the caller gave (a descriptor the tool read), else the
// URI's pin-source, else none (tokens without login).
std::uint64_t PinFor(const pkcs11::Uri &uri, const Unlock &unlock, SecretBytes &pin)
{
    pin.clear();
    if (unlock.hasPkcs11Pin) {
        pin = unlock.pkcs11Pin;
        return 0;
    }
    if (!uri.pinSource.empty()) {
        return FromPkcs11(pkcs11::ReadPinFile(uri.pinSource, pin));
    }
    return 0;
}

} // namespace

bool ParsePkcs11Params(std::span<const std::uint8_t> params, Pkcs11SlotParams &out)
{
    ByteReader r(params);
    const auto uri = r.Take(r.U16());
    const auto module = r.Take(r.U16());
    const auto blob = r.Take(r.remaining());
    if (!r.ok() || uri.empty() || module.empty() || uri.size() > kMaxText || module.size() > kMaxText ||
        blob.empty()) {
        return false;
    }
    out.uri.assign(uri.begin(), uri.end());
    out.module.assign(module.begin(), module.end());
    out.blob.assign(blob.begin(), blob.end());
    return true;
}

std::uint64_t FromPkcs11(pkcs11::Status status)
{
    using pkcs11::Status;
    switch (status) {
    case Status::ok: return 0;
    case Status::badUri: return QINT_ERR_PKCS11_URI;
    case Status::noModule:
    case Status::moduleUnsafe: return QINT_ERR_PKCS11_MODULE;
    case Status::noToken: return QINT_ERR_PKCS11_TOKEN;
    case Status::noPin: return QINT_ERR_PKCS11_NO_PIN;
    case Status::badPin:
    case Status::pinLocked: return QINT_ERR_PKCS11_PIN;
    case Status::noKey: return QINT_ERR_PKCS11_KEY_MISSING;
    case Status::notThisKey:
    case Status::badBlob: return QINT_ERR_PKCS11_UNWRAP;
    case Status::keyAmbiguous:
    case Status::noMechanism:
    case Status::failure: break;
    }
    return QINT_ERR_PKCS11;
}

std::uint64_t MakePkcs11Secret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret)
{
    if (!cb.Random(secret.span())) {
        return QINT_ERR_RANDOM;
    }
    pkcs11::KeyRef ref;
    if (pkcs11::ParseUri(unlock.pkcs11Uri, ref.uri) != pkcs11::Status::ok) {
        return QINT_ERR_PKCS11_URI;
    }
    ref.module = unlock.pkcs11Module.empty() ? ref.uri.modulePath : unlock.pkcs11Module;
    if (ref.module.empty() || ref.module.size() > kMaxText || unlock.pkcs11Uri.size() > kMaxText) {
        return QINT_ERR_PKCS11_MODULE;
    }
    SecretBytes pin;
    if (const std::uint64_t rc = PinFor(ref.uri, unlock, pin); rc != 0) {
        return rc;
    }
    if (unlock.pkcs11GenerateKey) {
        bool created = false;
        if (const std::uint64_t rc = FromPkcs11(pkcs11::GenerateKey(ref, pin, created)); rc != 0) {
            return rc;
        }
    }
    std::vector<std::uint8_t> blob;
    const auto aad = TokenAad(salt, slot.id, unlock.pkcs11Uri, ref.module);
    if (const std::uint64_t rc =
            FromPkcs11(pkcs11::Wrap(ref, pin, secret.span(), aad, pkcs11::Mechanism::automatic, blob));
        rc != 0) {
        return rc;
    }
    std::vector<std::uint8_t> &params = slot.params;
    params.clear();
    params.reserve(4 + unlock.pkcs11Uri.size() + ref.module.size() + blob.size());
    ByteWriter w(params);
    w.U16(static_cast<std::uint16_t>(unlock.pkcs11Uri.size()));
    w.Bytes(Text(unlock.pkcs11Uri));
    w.U16(static_cast<std::uint16_t>(ref.module.size()));
    w.Bytes(Text(ref.module));
    w.Bytes(blob);
    return 0;
}

std::uint64_t OpenPkcs11Secret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret)
{
    // The token is asked once per process and slot; later loads use the cache.
    if (cached) {
        return 0;
    }
    Pkcs11SlotParams p;
    if (!ParsePkcs11Params(slot.params, p)) {
        return QINT_ERR_BAD_CONTENT;
    }
    pkcs11::KeyRef ref;
    ref.module = p.module;
    if (pkcs11::ParseUri(p.uri, ref.uri) != pkcs11::Status::ok) {
        return QINT_ERR_PKCS11_URI;
    }
    SecretBytes pin;
    if (const std::uint64_t rc = PinFor(ref.uri, unlock, pin); rc != 0) {
        return rc;
    }
    const auto aad = TokenAad(salt, slot.id, p.uri, p.module);
    return FromPkcs11(pkcs11::Unwrap(ref, pin, p.blob, aad, secret.span()));
}

void DescribePkcs11Slot(const Slot &slot, QintSlotInfo &info)
{
    Pkcs11SlotParams token;
    if (ParsePkcs11Params(slot.params, token)) {
        // The URI never carries a PIN (pin-value is refused when the slot is made).
        (void)std::snprintf(info.token, sizeof info.token, "%s (module %s)", token.uri.c_str(), token.module.c_str());
    }
}

} // namespace zorv
