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

std::uint64_t MakeSealedForParams(const sealed::PublicKey &recipient, std::span<const std::uint8_t, 32> salt,
                                  std::uint8_t id, const Key32 &secret, std::vector<std::uint8_t> &params)
{
    return FromSealed(sealed::Seal(recipient, SealAad(salt, id), secret.span(), params));
}

std::uint64_t OpenSealedForSecret(std::span<const std::uint8_t> params, const Unlock &unlock,
                                  std::span<const std::uint8_t, 32> salt, std::uint8_t id, Key32 &secret)
{
    Key32 hostKey;
    if (const std::uint64_t rc = ReadHostKey(unlock.hostKeyPath, hostKey); rc != 0) {
        return rc;
    }
    return FromSealed(sealed::Open(hostKey.span(), SealAad(salt, id), params, secret.span()));
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
