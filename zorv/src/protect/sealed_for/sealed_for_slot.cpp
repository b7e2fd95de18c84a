#include "protect/sealed_for/sealed_for_slot.h"

#include "crypto/byte_cursor.h"
#include "protect/host/host_key.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

std::vector<std::uint8_t> SealAad(std::span<const std::uint8_t, 32> salt, std::uint8_t id)
{
    std::vector<std::uint8_t> aad;
    aad.reserve(salt.size() + 2);
    ByteWriter w(aad);
    w.Bytes(salt);
    w.U8(static_cast<std::uint8_t>(QINT_PROTECT_SEALED_FOR));
    w.U8(id);
    return aad;
}

} // namespace

std::uint64_t FromSealed(sealed::Status status)
{
    switch (status) {
    case sealed::Status::ok: return 0;
    case sealed::Status::badHostId: return QINT_ERR_BAD_HOST_ID;
    case sealed::Status::notThisHost: return QINT_ERR_NOT_THIS_HOST;
    case sealed::Status::tampered: return QINT_ERR_SEALED_TAMPERED;
    case sealed::Status::badBlob: return QINT_ERR_BAD_CONTENT;
    case sealed::Status::failure: break;
    }
    return QINT_ERR_CRYPTO;
}

std::uint64_t MakeSealedForSecret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret)
{
    if (!unlock.hasRecipient) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    if (!cb.Random(secret.span())) {
        return QINT_ERR_RANDOM;
    }
    return FromSealed(sealed::Seal(unlock.recipient, SealAad(salt, slot.id), secret.span(), slot.params));
}

std::uint64_t OpenSealedForSecret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret)
{
    if (cached) {
        return 0;
    }
    Key32 hostKey;
    if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
        return rc;
    }
    return FromSealed(sealed::Open(hostKey.span(), SealAad(salt, slot.id), slot.params, secret.span()));
}

std::uint64_t HostIdText(const Unlock &unlock, std::string &text)
{
    Key32 hostKey;
    if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
        return rc;
    }
    sealed::PublicKey publicKey{};
    if (const std::uint64_t rc = FromSealed(sealed::HostPublicKey(hostKey.span(), publicKey)); rc != 0) {
        return rc;
    }
    text = sealed::FormatHostId(publicKey);
    return text.empty() ? QINT_ERR_CRYPTO : 0;
}

} // namespace zorv
