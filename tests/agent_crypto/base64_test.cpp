#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

class Base64Test : public CryptoTest {};

struct Decoded {
    int result = -99;
    std::vector<unsigned char> bytes; // the whole buffer, as long as the text
    uint32_t length = 0xDEAD;
};

Decoded Decode(const char *text, uint32_t textLen)
{
    Decoded d;
    unsigned char *out = nullptr;
    d.result = ZORVA_Base64Decode(text, textLen, &out, &d.length);
    if (d.result == 0) {
        d.bytes.assign(out, out + strnlen(text, textLen));
        ZORVA_MemClearFree(out, d.length);
    } else {
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(d.length, 0xDEADu);
    }
    return d;
}

TEST_F(Base64Test, LengthFormulas)
{
    EXPECT_EQ(ZORVA_Base64EncodeLen(0), 1u);
    for (uint32_t n = 1; n <= 3; ++n) {
        EXPECT_EQ(ZORVA_Base64EncodeLen(n), 5u);
    }
    EXPECT_EQ(ZORVA_Base64EncodeLen(4), 9u);
    EXPECT_EQ(ZORVA_Base64EncodeLen(32), 45u);

    EXPECT_EQ(ZORVA_Base64DecodeLen("AQ==", 4), 1u);
    EXPECT_EQ(ZORVA_Base64DecodeLen("AQI=", 4), 2u);
    EXPECT_EQ(ZORVA_Base64DecodeLen("AQID", 4), 3u);
    EXPECT_EQ(ZORVA_Base64DecodeLen("====", 4), 0u);
    EXPECT_EQ(ZORVA_Base64DecodeLen("AQIDBA==", 8), 4u);
    EXPECT_TRUE(RecorderA().Lines().empty());

    EXPECT_EQ(ZORVA_Base64DecodeLen("AQ==", 0), 0u);
    ExpectLine("Input length is zero.", 2, 25137, "ZORVA_Base64DecodeLen", "Input length is zero.");
}

TEST_F(Base64Test, EncodeGivesTextWithItsTerminatorCounted)
{
    const unsigned char one[] = {0x01};
    char *text = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(ZORVA_Base64Encode(one, 1, &text, &len), 0);
    EXPECT_EQ(len, 5u);
    EXPECT_STREQ(text, "AQ==");
    ZORVA_MemClearFree(text, len);

    char *untouched = reinterpret_cast<char *>(0x1);
    uint32_t untouchedLen = 77;
    EXPECT_EQ(ZORVA_Base64Encode(one, 0, &untouched, &untouchedLen), -1);
    EXPECT_EQ(untouched, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(untouchedLen, 77u);
    ExpectLine("Base64 encode block failed.", 2, 25096, "ZORVA_Base64Encode", "Base64 encode block failed.");
}

TEST_F(Base64Test, DecodeOfOneByteWhateverTheLengthGiven)
{
    for (uint32_t given : {4u, 5u, 100u}) {
        const Decoded d = Decode("AQ==", given);
        ASSERT_EQ(d.result, 0) << given;
        EXPECT_EQ(d.length, 1u);
        EXPECT_EQ(d.bytes, (std::vector<unsigned char>{0x01, 0, 0, 0}));
    }
    // A length shorter than the text decodes only that prefix.
    const Decoded prefix = Decode("AQIDBA==", 4);
    ASSERT_EQ(prefix.result, 0);
    EXPECT_EQ(prefix.length, 3u);
}

TEST_F(Base64Test, EmptyInputIsRefusedWithBothSizes)
{
    EXPECT_EQ(Decode("", 9).result, ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(Decode("AQ==", 0).result, ZORVA_ERR_PARAMETER_INVALID);
    const auto lines = RecorderA().WithFormat("Check cipher len (%u), input len (%u) fail.");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Check cipher len (0), input len (9) fail.");
    EXPECT_EQ(lines[1].message, "Check cipher len (0), input len (0) fail.");
    EXPECT_EQ(lines[0].code, 25139);
    EXPECT_EQ(lines[0].function, "ZORVA_Base64Decode");
}

TEST_F(Base64Test, MalformedTextFails)
{
    // No decoded length: only padding, or a single character.
    EXPECT_EQ(Decode("====", 4).result, -1);
    EXPECT_EQ(Decode("A", 1).result, -1);
    EXPECT_EQ(CountLines("Get base64 block len failed."), 2u);
    EXPECT_EQ(RecorderA().WithFormat("Get base64 block len failed.")[0].code, 25097);
    EXPECT_EQ(CountLines("Base64 decode block failed."), 0u);

    // Rejected by the block decoder: length not a multiple of four, or a
    // character outside the alphabet.
    EXPECT_EQ(Decode("AQ=", 3).result, -1);
    EXPECT_EQ(Decode("AQIDB", 5).result, -1);
    EXPECT_EQ(Decode("A*==", 4).result, -1);
    EXPECT_EQ(Decode("AQ\x01=", 4).result, -1);
    const auto lines = RecorderA().WithFormat("Base64 decode block failed.");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].code, 25105);
    EXPECT_EQ(lines[0].level, 2);
}

TEST_F(Base64Test, RoundTripsEveryLengthUpToAHundred)
{
    std::vector<unsigned char> data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 37 + 11);
    }
    for (uint32_t n = 1; n <= data.size(); ++n) {
        char *text = nullptr;
        uint32_t textLen = 0;
        ASSERT_EQ(ZORVA_Base64Encode(data.data(), n, &text, &textLen), 0);
        ASSERT_EQ(textLen, ZORVA_Base64EncodeLen(n));
        ASSERT_EQ(std::strlen(text) + 1, textLen);
        const Decoded d = Decode(text, textLen);
        ZORVA_MemClearFree(text, textLen);
        ASSERT_EQ(d.result, 0) << n;
        ASSERT_EQ(d.length, n);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, d.bytes.begin())) << n;
        // Past the decoded bytes the buffer holds zeros only.
        for (size_t i = n; i < d.bytes.size(); ++i) {
            EXPECT_EQ(d.bytes[i], 0) << n;
        }
    }
    EXPECT_TRUE(RecorderA().Lines().empty());
}

} // namespace
} // namespace zorva_test
