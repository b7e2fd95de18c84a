#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

constexpr uint64_t kMurFailure = 0x55; // logged as 85

class HmacTest : public CryptoTest {};

const unsigned char *Bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

struct Hmac {
    int result = -99;
    std::string text;
    uint32_t length = 0;
};

Hmac Calc(const ZorvaParms &parms, const std::string &data)
{
    Hmac h;
    char *out = reinterpret_cast<char *>(0x1);
    uint32_t len = 1234;
    h.result = ZORVA_CalcHmac(&parms, Bytes(data), static_cast<uint32_t>(data.size()), &out, &len);
    if (h.result == 0) {
        h.text.assign(out, std::strlen(out));
        h.length = len;
        ZORVA_MemClearFree(out, len);
    } else {
        EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
        EXPECT_EQ(len, 1234u);
    }
    return h;
}

int Verify(const ZorvaParms &parms, const std::string &data, const std::string &hmac)
{
    return ZORVA_VerifyHmac(&parms, Bytes(data), static_cast<uint32_t>(data.size()), hmac.c_str(),
                            static_cast<uint32_t>(hmac.size() + 1));
}

TEST_F(HmacTest, AlgorithmTable)
{
    EXPECT_EQ(ZORVA_GetAlgorithmId(0), 2052u);
    EXPECT_EQ(ZORVA_GetAlgorithmId(1), 2053u);
    EXPECT_EQ(ZORVA_GetAlgorithmId(2), 2054u);
    EXPECT_EQ(ZORVA_GetAlgorithmId(3), 0u);
    EXPECT_EQ(ZORVA_GetAlgorithmId(0xFFFFFFFFu), 0u);
    EXPECT_EQ(g_arrZorvaHmacAlgId[0], 2052u);
    EXPECT_EQ(g_arrZorvaHmacAlgId[2], 2054u);
}

TEST_F(HmacTest, ComputedHmacVerifiesForItsDataOnly)
{
    const std::string data = "the data";
    const uint32_t sizes[] = {32, 48, 64};
    for (uint32_t alg = 0; alg < 3; ++alg) {
        const ZorvaParms parms{151, alg};
        const Hmac h = Calc(parms, data);
        ASSERT_EQ(h.result, 0) << alg;
        EXPECT_EQ(h.length, h.text.size() + 1);
        EXPECT_EQ(h.length, ZORVA_Base64EncodeLen(sizes[alg]));
        EXPECT_EQ(MurDouble_LastAlgorithm(MUR_DOUBLE_HMAC), 2052u + alg);
        EXPECT_EQ(MurDouble_LastDomain(MUR_DOUBLE_HMAC), 151u);
        EXPECT_EQ(Verify(parms, data, h.text), 0);
        // The text's string length works as well as its buffer length.
        EXPECT_EQ(ZORVA_VerifyHmac(&parms, Bytes(data), 8, h.text.c_str(), static_cast<uint32_t>(h.text.size())), 0);
    }
    EXPECT_TRUE(RecorderA().Lines().empty());
    EXPECT_EQ(Resets(), 0);

    // Other data: a first refusal at level 3, one forced reload, a second
    // refusal, and the entry point's own line.
    const ZorvaParms parms{151, 0};
    const Hmac h = Calc(parms, data);
    ASSERT_EQ(h.result, 0);
    EXPECT_EQ(Verify(parms, "other data", h.text), -1);
    EXPECT_EQ(Resets(), 1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_VERIFY), 8u);
    const auto lines = RecorderA().WithFormat("Verify hmac (%u,%u) fail, err(%lu).");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].code, 0);
    EXPECT_EQ(lines[0].message, "Verify hmac (151,32) fail, err(4099).");
    EXPECT_EQ(lines[1].level, 2);
    EXPECT_EQ(lines[1].code, 25090);
    EXPECT_EQ(lines[1].function, "ZORVA_VerifyHmacData");
    ExpectLine("Verify hmac (%u,%u,%u) fail.", 2, 0, "ZORVA_VerifyHmac", "Verify hmac (10,45,32) fail.");
    // Another domain's key does not verify either.
    EXPECT_EQ(Verify(ZorvaParms{150, 0}, data, h.text), -1);
}

TEST_F(HmacTest, MissingArgumentsAndBadParameters)
{
    const ZorvaParms parms{9, 0};
    const unsigned char data[] = "x";
    char *out = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(ZORVA_CalcHmac(nullptr, nullptr, 1, nullptr, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_CalcHmac(&parms, nullptr, 1, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_CalcHmac(&parms, data, 1, nullptr, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_CalcHmac(&parms, data, 1, &out, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_VerifyHmac(nullptr, nullptr, 1, nullptr, 0), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_VerifyHmac(&parms, nullptr, 1, "AQ==", 4), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_VerifyHmac(&parms, data, 1, nullptr, 4), ZORVA_ERR_PARAMETER_INVALID);
    std::vector<std::string> messages;
    for (const LogLine &l : RecorderA().Lines()) {
        EXPECT_EQ(l.code, 25088);
        messages.push_back(l.function + ": " + l.message);
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "ZORVA_CalcHmac: (ASSERTION FAILURE) zorvaParms is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_CalcHmac: (ASSERTION FAILURE) plainBuf is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_CalcHmac: (ASSERTION FAILURE) hmacText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_CalcHmac: (ASSERTION FAILURE) hmacLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_VerifyHmac: (ASSERTION FAILURE) zorvaParms is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_VerifyHmac: (ASSERTION FAILURE) plainBuf is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                  "ZORVA_VerifyHmac: (ASSERTION FAILURE) hmacText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
              }));

    // Invalid domain: the compute path adds its own line, verify does not.
    RecorderA().Clear();
    const ZorvaParms badDomain{26, 0};
    EXPECT_EQ(ZORVA_CalcHmac(&badDomain, data, 1, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(CountLines("Check domain id (%u) fail."), 1u);
    ExpectLine("Check parms fail, plain len (%u).", 2, 25139, "ZORVA_CalcHmac", "Check parms fail, plain len (1).");
    RecorderA().Clear();
    EXPECT_EQ(ZORVA_VerifyHmac(&badDomain, data, 1, "AQ==", 4), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(RecorderA().Lines().size(), 1u);
    EXPECT_EQ(CountLines("Check domain id (%u) fail."), 1u);
    const ZorvaParms badAlg{9, 3};
    EXPECT_EQ(ZORVA_CalcHmac(&badAlg, data, 1, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_VerifyHmac(&badAlg, data, 1, "AQ==", 4), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(CountLines("Check algorithm id (%u) fail."), 2u);

    // Length limit for computing only.
    RecorderA().Clear();
    EXPECT_EQ(ZORVA_CalcHmac(&parms, data, 0x40000001u, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    ExpectLine("Check parms fail, plain len (%u).", 2, 25139, "ZORVA_CalcHmac",
               "Check parms fail, plain len (1073741825).");
    MurDouble_FailNext(MUR_DOUBLE_HMAC_LEN, 1, 2, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(ZORVA_CalcHmac(&parms, data, 0x40000000u, &out, &len), -1);
    ExpectLine("Get cipher len failed, plain len (%u).", 2, 25093, "ZORVA_CalcHmac",
               "Get cipher len failed, plain len (1073741824).");
    MurDouble_FailNext(MUR_DOUBLE_VERIFY, 2, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(ZORVA_VerifyHmac(&parms, data, 0x40000001u, "AQIDBA==", 9), -1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_VERIFY), 2u);
}

TEST_F(HmacTest, ParametersAreCheckedBeforeInitialisation)
{
    ASSERT_EQ(ZORVA_Finalize(), 0);
    ASSERT_EQ(ZORVA_Init(LogToA, "/nonexistent/p", "/nonexistent/s"), -1);
    RecorderA().Clear();
    const unsigned char data[] = "x";
    char *out = nullptr;
    uint32_t len = 0;
    const ZorvaParms badAlg{9, 3};
    EXPECT_EQ(ZORVA_CalcHmac(&badAlg, data, 1, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_VerifyHmac(&badAlg, data, 1, "AQ==", 4), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(CountLines("The process has not been initialized."), 0u);
    const ZorvaParms good{9, 0};
    EXPECT_EQ(ZORVA_CalcHmac(&good, data, 1, &out, &len), -1);
    EXPECT_EQ(ZORVA_VerifyHmac(&good, data, 1, "AQ==", 4), -1);
    EXPECT_EQ(CountLines("The process has not been initialized."), 2u);
}

TEST_F(HmacTest, ComputeRetriesOnceWithTheWholeBuffer)
{
    const ZorvaParms parms{9, 2};
    // First call fails and leaves 0 in the length: the retry gets the buffer
    // size back and succeeds.
    MurDouble_FailNext(MUR_DOUBLE_HMAC, 1, kMurFailure, 0);
    const Hmac h = Calc(parms, "data");
    ASSERT_EQ(h.result, 0);
    EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_HMAC, 0), MUR_DOUBLE_HMAC_MAX);
    EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_HMAC, 1), MUR_DOUBLE_HMAC_MAX);
    EXPECT_EQ(Resets(), 1);
    ExpectLine("Calc hmac (%u,%u) fail, err(%lu).", 2, 0, "ZORVA_CalcHmacData", "Calc hmac (9,4) fail, err(85).");
    EXPECT_EQ(Verify(parms, "data", h.text), 0);

    // Both fail, the second leaving a length far past the buffer: -1, and the
    // buffer is still released over its own size.
    RecorderA().Clear();
    MurDouble_FailNext(MUR_DOUBLE_HMAC, 2, kMurFailure, 0x7FFFFF00);
    EXPECT_EQ(Calc(parms, "data").result, -1);
    const auto lines = RecorderA().WithFormat("Calc hmac (%u,%u) fail, err(%lu).");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].code, 0);
    EXPECT_EQ(lines[1].code, 25090);
    ExpectLine("Calc hmac (%u,%u,%u) fail.", 2, 0, "ZORVA_CalcHmac",
               "Calc hmac (4,1234," + std::to_string(0x7FFFFF00) + ") fail.");

    // Forced reload failing: no second call.
    RecorderA().Clear();
    MurDouble_Reset();
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 3);
    MurDouble_FailNext(MUR_DOUBLE_HMAC, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Calc(parms, "data").result, -1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_HMAC), 1u);
    ExpectLine("Check reload key file failed.", 2, 25090, "ZORVA_CalcHmacData", "Check reload key file failed.");
    EXPECT_FALSE(ReloadLockHeld());
}

TEST_F(HmacTest, VerifyRetriesOnceAfterAForcedReload)
{
    const ZorvaParms parms{9, 1};
    const Hmac h = Calc(parms, "data");
    ASSERT_EQ(h.result, 0);
    MurDouble_FailNext(MUR_DOUBLE_VERIFY, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Verify(parms, "data", h.text), 0);
    EXPECT_EQ(Resets(), 1);
    ExpectLine("Verify hmac (%u,%u) fail, err(%lu).", 3, 0, "ZORVA_VerifyHmacData",
               "Verify hmac (9,48) fail, err(85).");

    RecorderA().Clear();
    EXPECT_EQ(Verify(parms, "data", "A*=="), -1);
    ExpectLine("Base64 decode (%u,%u,%u) fail.", 2, 0, "ZORVA_VerifyHmac", "Base64 decode (4,5,0) fail.");

    RecorderA().Clear();
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 3);
    MurDouble_FailNext(MUR_DOUBLE_VERIFY, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    const uint32_t before = MurDouble_CallCount(MUR_DOUBLE_VERIFY);
    EXPECT_EQ(Verify(parms, "data", h.text), -1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_VERIFY), before + 1);
    ExpectLine("Check reload key file failed.", 2, 25090, "ZORVA_VerifyHmacData", "Check reload key file failed.");
}

TEST_F(HmacTest, RawStepsRefuseMissingArgumentsAndUnknownAlgorithms)
{
    const ZorvaParms parms{9, 0};
    const ZorvaParms badAlg{9, 7};
    unsigned char buffer[64] = {};
    uint32_t len = sizeof buffer;
    pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
    EXPECT_EQ(ZORVA_CalcHmacData(nullptr, buffer, 1, buffer, &len), -1);
    EXPECT_EQ(ZORVA_CalcHmacData(&parms, nullptr, 1, buffer, &len), -1);
    EXPECT_EQ(ZORVA_CalcHmacData(&parms, buffer, 1, nullptr, &len), -1);
    EXPECT_EQ(ZORVA_CalcHmacData(&parms, buffer, 1, buffer, nullptr), -1);
    EXPECT_EQ(ZORVA_VerifyHmacData(nullptr, buffer, 1, buffer, 32), -1);
    EXPECT_EQ(ZORVA_VerifyHmacData(&parms, nullptr, 1, buffer, 32), -1);
    EXPECT_EQ(ZORVA_VerifyHmacData(&parms, buffer, 1, nullptr, 32), -1);
    EXPECT_EQ(ZORVA_CalcHmacData(&badAlg, buffer, 1, buffer, &len), -1);
    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    std::vector<std::string> messages;
    for (const LogLine &l : RecorderA().Lines()) {
        messages.push_back(l.function + ": " + l.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "ZORVA_CalcHmacData: (ASSERTION FAILURE) zorvaParms is NULL, return(RET_ERR).",
                            "ZORVA_CalcHmacData: (ASSERTION FAILURE) plainText is NULL, return(RET_ERR).",
                            "ZORVA_CalcHmacData: (ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).",
                            "ZORVA_CalcHmacData: (ASSERTION FAILURE) cipherLen is NULL, return(RET_ERR).",
                            "ZORVA_VerifyHmacData: (ASSERTION FAILURE) zorvaParms is NULL, return(RET_ERR).",
                            "ZORVA_VerifyHmacData: (ASSERTION FAILURE) plainText is NULL, return(RET_ERR).",
                            "ZORVA_VerifyHmacData: (ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).",
                            "ZORVA_CalcHmacData: Get alg id (7) fail.",
                        }));
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_HMAC) + MurDouble_CallCount(MUR_DOUBLE_VERIFY), 0u);
}

} // namespace
} // namespace zorva_test
