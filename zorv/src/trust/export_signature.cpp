#include "trust/export_signature.h"

#include <openssl/evp.h>

#include <vector>

#include "protect/sealed_for/sealed_for.h"
#include "trust/host_config.h"

namespace zorv {
namespace {

constexpr std::string_view kLabel = "zorva export signature v1";
constexpr std::string_view kHeader = "zorva-export-signature 1";

std::vector<std::uint8_t> SignedMessage(const std::array<std::uint8_t, 32> &recipientKey, const Sha256 &digest)
{
    std::vector<std::uint8_t> message(kLabel.begin(), kLabel.end());
    message.push_back(0);
    message.insert(message.end(), recipientKey.begin(), recipientKey.end());
    message.insert(message.end(), digest.begin(), digest.end());
    return message;
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

bool FromHex(std::string_view text, std::span<std::uint8_t> out)
{
    if (text.size() != out.size() * 2) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) {
            return false;
        }
        out[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : out[i / 2] | d);
    }
    return true;
}

} // namespace

bool Sha256Of(std::span<const std::uint8_t> bytes, Sha256 &out)
{
    unsigned int len = 0;
    return EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, EVP_sha256(), nullptr) == 1 && len == 32;
}

bool SignExport(const SecretBytes &privatePem, std::string_view recipient, std::span<const std::uint8_t> storeBytes,
                std::string &text, AdminPublicKey &signer)
{
    sealed::PublicKey recipientKey{};
    Sha256 digest{};
    AdminSignature signature{};
    if (sealed::ParseHostId(recipient, recipientKey) != sealed::Status::ok || !Sha256Of(storeBytes, digest) ||
        !AdminSign(privatePem, SignedMessage(recipientKey, digest), signature, signer)) {
        return false;
    }
    text = std::string(kHeader) + "\nsigner " + Base64Text(signer) + "\nrecipient " +
           sealed::FormatHostId(recipientKey) + "\nstore-sha256 " + Hex(digest) + "\nsignature " +
           Base64Text(signature) + "\n";
    return true;
}

bool ParseExportSignature(std::string_view text, ExportSignature &out)
{
    if (text.size() > kMaxExportSignatureSize) {
        return false;
    }
    const auto lines = ConfigLines(text);
    if (lines.size() != 5 || lines[0].size() != 2 || lines[0][0] + " " + lines[0][1] != kHeader) {
        return false;
    }
    static constexpr const char *kFields[] = {"signer", "recipient", "store-sha256", "signature"};
    for (std::size_t i = 0; i < 4; ++i) {
        if (lines[i + 1].size() != 2 || lines[i + 1][0] != kFields[i]) {
            return false;
        }
    }
    out.recipient = lines[2][1];
    return FromBase64Text(lines[1][1], out.signer) &&
           sealed::ParseHostId(out.recipient, out.recipientKey) == sealed::Status::ok &&
           FromHex(lines[3][1], out.storeDigest) && FromBase64Text(lines[4][1], out.signature);
}

bool ExportSignatureValid(const ExportSignature &sig)
{
    return AdminVerify(sig.signer, SignedMessage(sig.recipientKey, sig.storeDigest), sig.signature);
}

} // namespace zorv
