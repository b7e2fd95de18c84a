#include "protect/pkcs11/pkcs11_slot.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "crypto/byte_cursor.h"
#include "failure_detail.h"
#include "protect/pkcs11/pkcs11_pin.h"
#include "protect/pkcs11/pkcs11_token.h"
#include "protect/pkcs11/pkcs11_uri.h"
#include "trust/pkcs11_config.h"
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

// The PIN from a source of the host configuration: a file, a credential of
// the service (systemd's $CREDENTIALS_DIRECTORY), or none (no login).
std::uint64_t PinFromSource(const std::string &source, SecretBytes &pin)
{
    pin.clear();
    std::string path;
    if (source.rfind("file:", 0) == 0) {
        path = source.substr(5);
    } else if (source.rfind("credential:", 0) == 0) {
        const char *dir = ::secure_getenv("CREDENTIALS_DIRECTORY");
        if (dir == nullptr || dir[0] != '/') {
            NoteFailureDetail("PIN source " + source + ": no $CREDENTIALS_DIRECTORY (not started by systemd "
                              "with LoadCredential=)");
            return QINT_ERR_PKCS11_NO_PIN;
        }
        path = std::string(dir) + "/" + source.substr(11);
    } else {
        return 0;
    }
    NoteWatchedFile(path);
    const std::uint64_t rc = FromPkcs11(pkcs11::ReadPinFile(path, pin));
    if (rc != 0) {
        NoteFailureDetail("PIN file " + path + ": missing, unreadable, or open to group or others");
    }
    return rc;
}

// The PIN for making a slot: the one the caller gave (a descriptor the tool
// read), else the URI's pin-source, else none (tokens without login).
std::uint64_t PinFor(const pkcs11::Uri &uri, const Unlock &unlock, SecretBytes &pin)
{
    pin.clear();
    if (unlock.hasPkcs11Pin) {
        pin = unlock.pkcs11Pin;
        return 0;
    }
    return uri.pinSource.empty() ? 0 : PinFromSource("file:" + uri.pinSource, pin);
}

// The URI a new slot keeps: the token and the key only. Where the module
// and the PIN come from is the host configuration's business.
std::string IdentityOnly(const std::string &uri) { return uri.substr(0, uri.find('?')); }

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
    const std::string kept = IdentityOnly(unlock.pkcs11Uri);
    const auto aad = TokenAad(salt, slot.id, kept, ref.module);
    if (const std::uint64_t rc =
            FromPkcs11(pkcs11::Wrap(ref, pin, secret.span(), aad, pkcs11::Mechanism::automatic, blob));
        rc != 0) {
        return rc;
    }
    std::vector<std::uint8_t> &params = slot.params;
    params.clear();
    params.reserve(4 + kept.size() + ref.module.size() + blob.size());
    ByteWriter w(params);
    w.U16(static_cast<std::uint16_t>(kept.size()));
    w.Bytes(Text(kept));
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
    if (pkcs11::ParseUri(p.uri, ref.uri) != pkcs11::Status::ok) {
        return QINT_ERR_PKCS11_URI;
    }
    // The slot only names a module and a token; whether that module is
    // loaded, and with which PIN, is for the host configuration to say.
    const Pkcs11Config config = ReadPkcs11Config();
    if (config.status == ConfigStatus::unsafe || config.status == ConfigStatus::unreadable) {
        NoteFailureDetail(config.detail);
        return QINT_ERR_HOST_CONFIG;
    }
    const Pkcs11Entry *entry = config.Find(p.module, ref.uri.token);
    if (entry == nullptr) {
        NoteFailureDetail("module " + p.module + ", token " + ref.uri.token + ": configure it with 'zorvm_keytool "
                          "pkcs11 add --module " + p.module + " --token LABEL --pin-source SOURCE'");
        return QINT_ERR_PKCS11_NOT_CONFIGURED;
    }
    ref.module = entry->module;
    SecretBytes pin;
    if (unlock.hasPkcs11Pin) {
        pin = unlock.pkcs11Pin;
    } else if (const std::uint64_t rc = PinFromSource(entry->pinSource, pin); rc != 0) {
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
