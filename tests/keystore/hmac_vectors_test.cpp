// The HMAC and HKDF primitives under the data-protection calls, fed raw keys,
// against the published test vectors (RFC 4231, RFC 5869).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/hmac.h"

namespace {

std::vector<std::uint8_t> Hex(const std::string &hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::vector<std::uint8_t> Bytes(const std::string &s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

std::string Mac(zorv::Digest d, const std::vector<std::uint8_t> &key, const std::vector<std::uint8_t> &data)
{
    std::uint8_t out[zorv::kMaxDigestSize] = {};
    zorv::Hmac hmac(d);
    EXPECT_TRUE(hmac.Compute(key, {data}, out));
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < zorv::DigestSize(d); ++i) {
        hex += kDigits[out[i] >> 4];
        hex += kDigits[out[i] & 15];
    }
    return hex;
}

struct Vector {
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> data;
    const char *sha256;
    const char *sha384;
    const char *sha512;
};

TEST(HmacVectors, MatchRfc4231)
{
    const Vector vectors[] = {
        {std::vector<std::uint8_t>(20, 0x0b), Bytes("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f"
         "1702e696c203a126854"},
        {Bytes("Jefe"), Bytes("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b"
         "4b636e070a38bce737"},
        {std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27",
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee894"
         "2674278859e13292fb"},
        {std::vector<std::uint8_t>(131, 0xaa), Bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0a"
         "ec8b915a985d786598"},
    };
    for (const Vector &v : vectors) {
        EXPECT_EQ(Mac(zorv::Digest::Sha256, v.key, v.data), v.sha256);
        EXPECT_EQ(Mac(zorv::Digest::Sha384, v.key, v.data), v.sha384);
        EXPECT_EQ(Mac(zorv::Digest::Sha512, v.key, v.data), v.sha512);
    }
}

TEST(HmacVectors, OneContextRekeysCleanlyAndRefusesShortOutput)
{
    zorv::Hmac hmac(zorv::Digest::Sha256);
    std::uint8_t a[32], b[32], small[31];
    const auto k1 = Bytes("Jefe");
    const auto k2 = std::vector<std::uint8_t>(20, 0x0b);
    const auto d = Bytes("what do ya want for nothing?");
    ASSERT_TRUE(hmac.Compute(k2, {d}, a));
    ASSERT_TRUE(hmac.Compute(k1, {Bytes("what do ya "), Bytes("want for nothing?")}, b));
    EXPECT_EQ(Mac(zorv::Digest::Sha256, k1, d), Mac(zorv::Digest::Sha256, k1, d));
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + 32), Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    EXPECT_FALSE(hmac.Compute(k1, {d}, small));
}

TEST(HkdfVectors, MatchRfc5869CaseOne)
{
    const auto ikm = std::vector<std::uint8_t>(22, 0x0b);
    const auto salt = Hex("000102030405060708090a0b0c");
    const auto info = Hex("f0f1f2f3f4f5f6f7f8f9");
    std::uint8_t prk[32];
    ASSERT_TRUE(zorv::HkdfExtract(salt, ikm, prk));
    EXPECT_EQ(std::vector<std::uint8_t>(prk, prk + 32),
              Hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5"));
    std::uint8_t okm[42];
    zorv::Hmac hmac(zorv::Digest::Sha256);
    ASSERT_TRUE(zorv::HkdfExpand(hmac, prk, info, okm));
    EXPECT_EQ(std::vector<std::uint8_t>(okm, okm + 42),
              Hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
}

} // namespace
