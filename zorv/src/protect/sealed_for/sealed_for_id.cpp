// The text form of a host's public key: a versioned prefix and base64url
// (no padding) of the key followed by a 4-byte SHA-256 checksum.
#include <openssl/evp.h>

#include <algorithm>
#include <array>

#include "protect/sealed_for/sealed_for.h"

namespace zorv::sealed {
namespace {

constexpr std::string_view kPrefix = "zorva-host1:";
constexpr std::size_t kChecksumSize = 4;
constexpr std::size_t kPayloadSize = kPublicKeySize + kChecksumSize; // 36 bytes: 48 characters, no padding
constexpr std::size_t kTextSize = kPayloadSize / 3 * 4;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> MakeReverse()
{
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}
constexpr auto kReverse = MakeReverse();

bool Checksum(const PublicKey &key, std::span<std::uint8_t, kChecksumSize> out)
{
    std::array<std::uint8_t, kPrefix.size() + kPublicKeySize> input{};
    std::copy(kPrefix.begin(), kPrefix.end(), input.begin());
    std::copy(key.begin(), key.end(), input.begin() + kPrefix.size());
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int len = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &len, EVP_sha256(), nullptr) != 1) {
        return false;
    }
    std::copy_n(digest.begin(), out.size(), out.begin());
    return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

std::string FormatHostId(const PublicKey &publicKey)
{
    std::array<std::uint8_t, kPayloadSize> payload{};
    std::copy(publicKey.begin(), publicKey.end(), payload.begin());
    if (!Checksum(publicKey, std::span<std::uint8_t, kChecksumSize>(payload.data() + kPublicKeySize, kChecksumSize))) {
        return {};
    }
    std::string text(kPrefix);
    for (std::size_t i = 0; i < payload.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{payload[i]} << 16) | (std::uint32_t{payload[i + 1]} << 8) | payload[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) {
            text.push_back(kAlphabet[(v >> shift) & 63]);
        }
    }
    return text;
}

Status ParseHostId(std::string_view text, PublicKey &publicKey)
{
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.starts_with(kPrefix) || text.size() != kPrefix.size() + kTextSize) {
        return Status::badHostId;
    }
    text.remove_prefix(kPrefix.size());
    std::array<std::uint8_t, kPayloadSize> payload{};
    for (std::size_t i = 0, o = 0; i < text.size(); i += 4, o += 3) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::int8_t d = kReverse[static_cast<unsigned char>(text[i + k])];
            if (d < 0) {
                return Status::badHostId;
            }
            v = (v << 6) | static_cast<std::uint32_t>(d);
        }
        payload[o] = static_cast<std::uint8_t>(v >> 16);
        payload[o + 1] = static_cast<std::uint8_t>(v >> 8);
        payload[o + 2] = static_cast<std::uint8_t>(v);
    }
    PublicKey key{};
    std::copy_n(payload.begin(), kPublicKeySize, key.begin());
    std::array<std::uint8_t, kChecksumSize> expected{};
    if (!Checksum(key, expected) || !std::equal(expected.begin(), expected.end(), payload.begin() + kPublicKeySize)) {
        return Status::badHostId;
    }
    publicKey = key;
    return Status::ok;
}

} // namespace zorv::sealed
