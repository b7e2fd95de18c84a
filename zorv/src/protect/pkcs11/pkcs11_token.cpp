#include "protect/pkcs11/pkcs11_token.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "crypto/secret.h"
#include "protect/pkcs11/pkcs11_module.h"

namespace zorv::pkcs11 {
namespace {

constexpr std::size_t kSecretSize = 32;
constexpr std::size_t kIvSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kGcmBlobSize = 1 + kIvSize + kSecretSize + kTagSize;
constexpr std::size_t kKwpWrappedSize = kSecretSize + 8;
constexpr std::size_t kKwpBlobSize = 1 + kKwpWrappedSize;
constexpr std::size_t kMaxSlots = 1024;
constexpr CK_RV kAeadDecryptFailed = 0x35; // CKR_AEAD_DECRYPT_FAILED, PKCS#11 3.0

// Token fields are fixed-width, padded with spaces.
std::string_view Field(const unsigned char *field, std::size_t width)
{
    std::string_view text(reinterpret_cast<const char *>(field), width);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.remove_suffix(1);
    }
    return text;
}

template <std::size_t N>
bool FieldMatches(const unsigned char (&field)[N], const std::string &wanted)
{
    return wanted.empty() || Field(field, N) == wanted;
}

bool Matches(const CK_TOKEN_INFO &info, const Uri &uri)
{
    return FieldMatches(info.label, uri.token) && FieldMatches(info.manufacturerID, uri.manufacturer) &&
           FieldMatches(info.model, uri.model) && FieldMatches(info.serialNumber, uri.serial);
}

Status FindSlot(CK_FUNCTION_LIST *fn, const Uri &uri, CK_SLOT_ID &slot, CK_FLAGS &tokenFlags)
{
    CK_ULONG count = 0;
    if (fn->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) {
        return Status::failure;
    }
    std::vector<CK_SLOT_ID> slots(std::min<CK_ULONG>(count, kMaxSlots));
    count = slots.size();
    if (!slots.empty() && fn->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) {
        return Status::failure;
    }
    for (CK_ULONG i = 0; i < count && i < slots.size(); ++i) {
        CK_TOKEN_INFO info{};
        if (fn->C_GetTokenInfo(slots[i], &info) == CKR_OK && Matches(info, uri)) {
            slot = slots[i];
            tokenFlags = info.flags;
            return Status::ok;
        }
    }
    return Status::noToken;
}

Status LoginStatus(CK_RV rv)
{
    switch (rv) {
    case CKR_OK:
    case CKR_USER_ALREADY_LOGGED_IN: return Status::ok;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_EXPIRED: return Status::badPin;
    case CKR_PIN_LOCKED: return Status::pinLocked;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED: return Status::noToken;
    default: return Status::failure;
    }
}

Status OperationStatus(CK_RV rv)
{
    switch (rv) {
    case CKR_OK: return Status::ok;
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID: return Status::noMechanism;
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
    case CKR_WRAPPED_KEY_INVALID:
    case CKR_WRAPPED_KEY_LEN_RANGE:
    case kAeadDecryptFailed: return Status::notThisKey;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED: return Status::noToken;
    default: return Status::failure;
    }
}

// The outcome of the decrypt or unwrap call itself, once the session, key
// and mechanism were accepted. Tokens report a failed tag or integrity check
// variously: the standard codes, or (SoftHSM) a general error.
Status OpenStatus(CK_RV rv)
{
    return rv == CKR_GENERAL_ERROR || rv == CKR_FUNCTION_FAILED ? Status::notThisKey : OperationStatus(rv);
}

// One session on the token named by the URI; logs out (when it logged in)
// and closes on every path.
class Session {
public:
    explicit Session(Module &module) : fn_(module.fn) {}
    ~Session()
    {
        if (loggedIn_) {
            fn_->C_Logout(handle_);
        }
        if (open_) {
            fn_->C_CloseSession(handle_);
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    Status Open(const Uri &uri, bool readWrite, std::span<const std::uint8_t> pin)
    {
        CK_FLAGS tokenFlags = 0;
        if (const Status status = FindSlot(fn_, uri, slot_, tokenFlags); status != Status::ok) {
            return status;
        }
        const CK_RV rv = fn_->C_OpenSession(slot_, CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0), nullptr,
                                            nullptr, &handle_);
        if (rv != CKR_OK) {
            return LoginStatus(rv) == Status::noToken ? Status::noToken : Status::failure;
        }
        open_ = true;
        if (pin.empty()) {
            return (tokenFlags & CKF_LOGIN_REQUIRED) != 0 ? Status::noPin : Status::ok;
        }
        SecretBytes copy(pin.begin(), pin.end()); // the interface takes a writable pointer
        const CK_RV login = fn_->C_Login(handle_, CKU_USER, copy.data(), copy.size());
        loggedIn_ = login == CKR_OK; // already logged in: someone else's login, left as it is
        return LoginStatus(login);
    }

    Status FindKey(const Uri &uri, CK_OBJECT_HANDLE &key)
    {
        CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
        CK_KEY_TYPE keyType = CKK_AES;
        std::vector<CK_ATTRIBUTE> match{
            {CKA_CLASS, &keyClass, sizeof keyClass},
            {CKA_KEY_TYPE, &keyType, sizeof keyType},
            {CKA_LABEL, const_cast<char *>(uri.object.data()), uri.object.size()},
        };
        if (uri.hasId) {
            match.push_back({CKA_ID, const_cast<std::uint8_t *>(uri.id.data()), uri.id.size()});
        }
        if (fn_->C_FindObjectsInit(handle_, match.data(), match.size()) != CKR_OK) {
            return Status::failure;
        }
        CK_OBJECT_HANDLE found[2] = {};
        CK_ULONG count = 0;
        const CK_RV rv = fn_->C_FindObjects(handle_, found, 2, &count);
        fn_->C_FindObjectsFinal(handle_);
        if (rv != CKR_OK) {
            return Status::failure;
        }
        if (count == 0) {
            return Status::noKey;
        }
        if (count > 1) {
            return Status::keyAmbiguous;
        }
        key = found[0];
        return Status::ok;
    }

    bool Offers(CK_MECHANISM_TYPE type, CK_FLAGS needed) const
    {
        CK_MECHANISM_INFO info{};
        return fn_->C_GetMechanismInfo(slot_, type, &info) == CKR_OK && (info.flags & needed) == needed;
    }

    CK_FUNCTION_LIST *fn() const { return fn_; }
    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    CK_FUNCTION_LIST *fn_;
    CK_SESSION_HANDLE handle_ = 0;
    CK_SLOT_ID slot_ = 0;
    bool open_ = false;
    bool loggedIn_ = false;
};

// A session object holding a plain secret for key wrap; destroyed on every path.
class SessionObject {
public:
    explicit SessionObject(Session &session) : session_(session) {}
    ~SessionObject()
    {
        if (handle_ != 0) {
            session_.fn()->C_DestroyObject(session_.handle(), handle_);
        }
    }
    SessionObject(const SessionObject &) = delete;
    SessionObject &operator=(const SessionObject &) = delete;
    CK_OBJECT_HANDLE *out() { return &handle_; }
    CK_OBJECT_HANDLE get() const { return handle_; }

private:
    Session &session_;
    CK_OBJECT_HANDLE handle_ = 0;
};

// A plain generic secret the module may hand back (extractable, not sensitive,
// never stored on the token).
struct PlainSecretTemplate {
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE;
    CK_BBOOL yes = CK_TRUE;
    std::array<CK_ATTRIBUTE, 5> attrs{{
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &no, sizeof no},
        {CKA_SENSITIVE, &no, sizeof no},
        {CKA_EXTRACTABLE, &yes, sizeof yes},
    }};
    PlainSecretTemplate() = default;
    PlainSecretTemplate(const PlainSecretTemplate &) = delete;
};

CK_GCM_PARAMS GcmParams(std::uint8_t *iv, std::vector<std::uint8_t> &aad)
{
    CK_GCM_PARAMS params{};
    params.pIv = iv;
    params.ulIvLen = kIvSize;
    params.ulIvBits = kIvSize * 8;
    params.pAAD = aad.empty() ? nullptr : aad.data();
    params.ulAADLen = aad.size();
    params.ulTagBits = kTagSize * 8;
    return params;
}

Status GcmWrap(Session &session, CK_OBJECT_HANDLE key, std::span<const std::uint8_t, 32> secret,
               std::span<const std::uint8_t> aad, std::vector<std::uint8_t> &blob)
{
    std::vector<std::uint8_t> out(kGcmBlobSize);
    out[0] = static_cast<std::uint8_t>(Mechanism::gcm);
    std::uint8_t *iv = out.data() + 1;
    if (RAND_bytes(iv, kIvSize) != 1) {
        return Status::failure;
    }
    std::vector<std::uint8_t> associated(aad.begin(), aad.end());
    CK_GCM_PARAMS params = GcmParams(iv, associated);
    CK_MECHANISM mechanism{CKM_AES_GCM, &params, sizeof params};
    Key32 plain;
    std::copy(secret.begin(), secret.end(), plain.data());
    std::array<std::uint8_t, 64> cipher{};
    CK_ULONG cipherLen = cipher.size();
    CK_RV rv = session.fn()->C_EncryptInit(session.handle(), &mechanism, key);
    if (rv == CKR_OK) {
        rv = session.fn()->C_Encrypt(session.handle(), plain.data(), plain.size(), cipher.data(), &cipherLen);
    }
    if (rv != CKR_OK) {
        return OperationStatus(rv);
    }
    if (cipherLen != kSecretSize + kTagSize) {
        return Status::failure;
    }
    std::copy_n(cipher.begin(), cipherLen, out.begin() + 1 + kIvSize);
    blob = std::move(out);
    return Status::ok;
}

Status GcmUnwrap(Session &session, CK_OBJECT_HANDLE key, std::span<const std::uint8_t> blob,
                 std::span<const std::uint8_t> aad, std::span<std::uint8_t, 32> secret)
{
    std::array<std::uint8_t, kIvSize> iv{};
    std::copy_n(blob.begin() + 1, kIvSize, iv.begin());
    std::vector<std::uint8_t> cipher(blob.begin() + 1 + kIvSize, blob.end());
    std::vector<std::uint8_t> associated(aad.begin(), aad.end());
    CK_GCM_PARAMS params = GcmParams(iv.data(), associated);
    CK_MECHANISM mechanism{CKM_AES_GCM, &params, sizeof params};
    SecretArray<64> plain;
    CK_ULONG plainLen = plain.size();
    CK_RV rv = session.fn()->C_DecryptInit(session.handle(), &mechanism, key);
    if (rv == CKR_OK) {
        rv = session.fn()->C_Decrypt(session.handle(), cipher.data(), cipher.size(), plain.data(), &plainLen);
        if (rv != CKR_OK) {
            return OpenStatus(rv);
        }
    }
    if (rv != CKR_OK) {
        return OperationStatus(rv);
    }
    if (plainLen != kSecretSize) {
        return Status::notThisKey;
    }
    std::copy_n(plain.data(), kSecretSize, secret.begin());
    return Status::ok;
}

Status KwpWrap(Session &session, CK_OBJECT_HANDLE key, std::span<const std::uint8_t, 32> secret,
               std::vector<std::uint8_t> &blob)
{
    Key32 value;
    std::copy(secret.begin(), secret.end(), value.data());
    PlainSecretTemplate plain;
    std::array<CK_ATTRIBUTE, 6> attrs{};
    std::copy(plain.attrs.begin(), plain.attrs.end(), attrs.begin());
    attrs[5] = {CKA_VALUE, value.data(), value.size()};
    SessionObject object(session);
    CK_RV rv = session.fn()->C_CreateObject(session.handle(), attrs.data(), attrs.size(), object.out());
    if (rv != CKR_OK) {
        return Status::failure;
    }
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP_PAD, nullptr, 0};
    std::vector<std::uint8_t> out(1 + 64);
    out[0] = static_cast<std::uint8_t>(Mechanism::keyWrapPad);
    CK_ULONG wrappedLen = 64;
    rv = session.fn()->C_WrapKey(session.handle(), &mechanism, key, object.get(), out.data() + 1, &wrappedLen);
    if (rv != CKR_OK) {
        return OperationStatus(rv);
    }
    if (wrappedLen != kKwpWrappedSize) {
        return Status::failure;
    }
    out.resize(kKwpBlobSize);
    blob = std::move(out);
    return Status::ok;
}

Status KwpUnwrap(Session &session, CK_OBJECT_HANDLE key, std::span<const std::uint8_t> blob,
                 std::span<std::uint8_t, 32> secret)
{
    std::vector<std::uint8_t> wrapped(blob.begin() + 1, blob.end());
    CK_MECHANISM mechanism{CKM_AES_KEY_WRAP_PAD, nullptr, 0};
    PlainSecretTemplate plain;
    SessionObject object(session);
    CK_RV rv = session.fn()->C_UnwrapKey(session.handle(), &mechanism, key, wrapped.data(), wrapped.size(),
                                         plain.attrs.data(), plain.attrs.size(), object.out());
    if (rv != CKR_OK) {
        return OpenStatus(rv);
    }
    SecretArray<64> value;
    CK_ATTRIBUTE read{CKA_VALUE, value.data(), value.size()};
    rv = session.fn()->C_GetAttributeValue(session.handle(), object.get(), &read, 1);
    if (rv != CKR_OK) {
        return Status::failure;
    }
    if (read.ulValueLen != kSecretSize) {
        return Status::notThisKey;
    }
    std::copy_n(value.data(), kSecretSize, secret.begin());
    return Status::ok;
}

Status Generate(Session &session, const Uri &uri)
{
    CK_OBJECT_CLASS keyClass = CKO_SECRET_KEY;
    CK_KEY_TYPE keyType = CKK_AES;
    CK_ULONG length = 32;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    std::vector<CK_ATTRIBUTE> attrs{
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_VALUE_LEN, &length, sizeof length},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &no, sizeof no},
        {CKA_ENCRYPT, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_WRAP, &yes, sizeof yes},
        {CKA_UNWRAP, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char *>(uri.object.data()), uri.object.size()},
    };
    if (uri.hasId) {
        attrs.push_back({CKA_ID, const_cast<std::uint8_t *>(uri.id.data()), uri.id.size()});
    }
    CK_MECHANISM mechanism{CKM_AES_KEY_GEN, nullptr, 0};
    CK_OBJECT_HANDLE key = 0;
    const CK_RV rv = session.fn()->C_GenerateKey(session.handle(), &mechanism, attrs.data(), attrs.size(), &key);
    return rv == CKR_MECHANISM_INVALID ? Status::noMechanism : rv == CKR_OK ? Status::ok : Status::failure;
}

// Runs op on a logged-in session holding the module's lock, so no other
// thread logs out underneath it.
template <typename Op>
Status WithSession(const KeyRef &ref, std::span<const std::uint8_t> pin, bool readWrite, Op op)
{
    Module *module = nullptr;
    const std::string &path = ref.module.empty() ? ref.uri.modulePath : ref.module;
    if (const Status status = AcquireModule(path, module); status != Status::ok) {
        return status;
    }
    std::lock_guard use(module->use);
    Session session(*module);
    if (const Status status = session.Open(ref.uri, readWrite, pin); status != Status::ok) {
        return status;
    }
    return op(session);
}

} // namespace

Status GenerateKey(const KeyRef &key, std::span<const std::uint8_t> pin, bool &created)
{
    created = false;
    return WithSession(key, pin, true, [&](Session &session) {
        CK_OBJECT_HANDLE existing = 0;
        const Status found = session.FindKey(key.uri, existing);
        if (found != Status::noKey) {
            return found;
        }
        const Status made = Generate(session, key.uri);
        created = made == Status::ok;
        return made;
    });
}

Status Wrap(const KeyRef &key, std::span<const std::uint8_t> pin, std::span<const std::uint8_t, 32> secret,
            std::span<const std::uint8_t> aad, Mechanism mechanism, std::vector<std::uint8_t> &blob)
{
    blob.clear();
    return WithSession(key, pin, false, [&](Session &session) {
        CK_OBJECT_HANDLE handle = 0;
        if (const Status found = session.FindKey(key.uri, handle); found != Status::ok) {
            return found;
        }
        Mechanism use = mechanism;
        if (use == Mechanism::automatic) {
            if (session.Offers(CKM_AES_GCM, CKF_ENCRYPT | CKF_DECRYPT)) {
                use = Mechanism::gcm;
            } else if (session.Offers(CKM_AES_KEY_WRAP_PAD, CKF_WRAP | CKF_UNWRAP)) {
                use = Mechanism::keyWrapPad;
            } else {
                return Status::noMechanism;
            }
        }
        return use == Mechanism::gcm ? GcmWrap(session, handle, secret, aad, blob)
                                     : KwpWrap(session, handle, secret, blob);
    });
}

Status Unwrap(const KeyRef &key, std::span<const std::uint8_t> pin, std::span<const std::uint8_t> blob,
              std::span<const std::uint8_t> aad, std::span<std::uint8_t, 32> secret)
{
    std::fill(secret.begin(), secret.end(), std::uint8_t{0});
    const bool gcm = blob.size() == kGcmBlobSize && blob[0] == static_cast<std::uint8_t>(Mechanism::gcm);
    const bool kwp = blob.size() == kKwpBlobSize && blob[0] == static_cast<std::uint8_t>(Mechanism::keyWrapPad);
    if (!gcm && !kwp) {
        return Status::badBlob;
    }
    return WithSession(key, pin, false, [&](Session &session) {
        CK_OBJECT_HANDLE handle = 0;
        if (const Status found = session.FindKey(key.uri, handle); found != Status::ok) {
            return found;
        }
        return gcm ? GcmUnwrap(session, handle, blob, aad, secret) : KwpUnwrap(session, handle, blob, secret);
    });
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::ok: return "token operation done";
    case Status::badUri: return "the PKCS#11 URI is malformed";
    case Status::noModule: return "the PKCS#11 module does not load";
    case Status::moduleUnsafe: return "the PKCS#11 module path is not absolute or is writable by other users";
    case Status::noToken: return "no token with that label is present";
    case Status::noPin: return "no usable PIN (none given, or the PIN file is unreadable or open to other users)";
    case Status::badPin: return "the token refused the PIN";
    case Status::pinLocked: return "the token's PIN is locked";
    case Status::noKey: return "the token holds no AES key with that label (deleted?)";
    case Status::keyAmbiguous: return "more than one key on the token matches the URI";
    case Status::noMechanism: return "the token offers neither AES-GCM nor AES key wrap with padding";
    case Status::notThisKey: return "the wrapped key does not open under the token key";
    case Status::badBlob: return "the wrapped key is malformed";
    case Status::failure: break;
    }
    return "PKCS#11 module failure";
}

} // namespace zorv::pkcs11
