#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

constexpr uint32_t kDomain = 9;
constexpr uint64_t kMurFailure = 0x77; // logged as 119

class EncryptTest : public CryptoTest {};

struct Cipher {
    int result = -99;
    std::string text;
    uint32_t length = 0;
};

Cipher Encrypt(uint32_t domain, const std::string &plain)
{
    Cipher c;
    char *out = reinterpret_cast<char *>(0x1);
    uint32_t len = 0xDEAD;
    c.result = ZORVA_Encrypt(domain, plain.data(), static_cast<uint32_t>(plain.size()), &out, &len);
    if (c.result == 0) {
        c.text.assign(out, std::strlen(out));
        c.length = len;
        ZORVA_MemClearFree(out, len);
    } else {
        EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
        EXPECT_EQ(len, 0xDEADu);
    }
    return c;
}

struct Plain {
    int result = -99;
    std::string text;
    std::vector<unsigned char> tail; // buffer bytes after the plain text
};

Plain Decrypt(uint32_t domain, const std::string &cipher, uint32_t given)
{
    Plain p;
    char *out = reinterpret_cast<char *>(0x1);
    uint32_t len = 0xDEAD;
    p.result = ZORVA_Decrypt(domain, cipher.c_str(), given, &out, &len);
    if (p.result == 0) {
        p.text.assign(out, len);
        // The buffer is as long as the raw cipher: plain length + overhead.
        p.tail.assign(out + len, out + len + MUR_DOUBLE_CIPHER_OVERHEAD);
        ZORVA_MemClearFree(out, len);
    } else {
        EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
        EXPECT_EQ(len, 0xDEADu);
    }
    return p;
}

Plain Decrypt(uint32_t domain, const std::string &cipher)
{
    return Decrypt(domain, cipher, static_cast<uint32_t>(cipher.size() + 1));
}

TEST_F(EncryptTest, DomainTableHoldsTheThirtySevenDomains)
{
    const std::vector<uint32_t> expected = {0,  1,  2,  3,  4,  5,  6,  7,   8,   9,   10,  11,  12,
                                            13, 14, 15, 16, 17, 18, 19, 20,  21,  22,  23,  24,  25,
                                            50, 51, 100, 101, 102, 103, 104, 105, 150, 151, 152};
    ASSERT_EQ(expected.size(), static_cast<size_t>(ZORVA_DOMAIN_COUNT));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), g_arrZorvaDomainId));
    for (uint32_t d : {0u, 25u, 50u, 51u, 100u, 105u, 150u, 152u}) {
        EXPECT_EQ(ZORVA_DomainIdValid(d), 1) << d;
    }
    for (uint32_t d : {26u, 49u, 52u, 99u, 106u, 149u, 153u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ZORVA_DomainIdValid(d), 0) << d;
    }
}

TEST_F(EncryptTest, RoundTripInEveryDomainWithOrWithoutTheTerminatorCounted)
{
    for (const uint32_t domain : g_arrZorvaDomainId) {
        const std::string secret = "secret of domain " + std::to_string(domain);
        const Cipher c = Encrypt(domain, secret);
        ASSERT_EQ(c.result, 0) << domain;
        EXPECT_EQ(c.length, c.text.size() + 1);
        EXPECT_EQ(c.length, ZORVA_Base64EncodeLen(static_cast<uint32_t>(secret.size()) + MUR_DOUBLE_CIPHER_OVERHEAD));
        EXPECT_EQ(MurDouble_LastDomain(MUR_DOUBLE_ENCRYPT), domain);
        EXPECT_EQ(MurDouble_LastAlgorithm(MUR_DOUBLE_ENCRYPT), 9u);

        for (uint32_t given : {c.length, c.length - 1, c.length + 50}) {
            const Plain p = Decrypt(domain, c.text, given);
            ASSERT_EQ(p.result, 0) << domain << " " << given;
            EXPECT_EQ(p.text, secret);
            EXPECT_EQ(p.tail, std::vector<unsigned char>(MUR_DOUBLE_CIPHER_OVERHEAD, 0));
        }
    }
    EXPECT_TRUE(RecorderA().Lines().empty());
    EXPECT_EQ(Resets(), 0);
}

TEST_F(EncryptTest, InvalidDomainIs10001ForDecryptAnd10002ForEncrypt)
{
    const Cipher good = Encrypt(kDomain, "abc");
    ASSERT_EQ(good.result, 0);
    for (uint32_t d : {26u, 49u, 52u, 99u, 106u, 149u, 153u}) {
        RecorderA().Clear();
        EXPECT_EQ(Encrypt(d, "abc").result, ZORVA_ERR_PARAMETER_INVALID);
        ExpectLine("Check parms fail, plain text len (%u).", 2, 0, "ZORVA_Encrypt",
                   "Check parms fail, plain text len (3).");
        EXPECT_EQ(Decrypt(d, good.text).result, ZORVA_ERR_DOMAIN_INVALID);
        ExpectLine("Check domain id (%u) failed.", 2, 25139, "ZORVA_Decrypt",
                   "Check domain id (" + std::to_string(d) + ") failed.");
    }
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_DECRYPT), 0u);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_CIPHER_LEN), 1u);
}

TEST_F(EncryptTest, PlainLengthLimitIsCheckedBeforeAnyLock)
{
    // 2^30 passes the check: the size query is the next step.
    MurDouble_FailNext(MUR_DOUBLE_CIPHER_LEN, 1, 5, MUR_DOUBLE_KEEP_LENGTH);
    char byte = 'x';
    char *out = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(ZORVA_Encrypt(kDomain, &byte, 0x40000000u, &out, &len), -1);
    EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_CIPHER_LEN, 0), 0x40000000u);
    ExpectLine("Get cipher len failed, plain len (%u).", 2, 25093, "ZORVA_Encrypt",
               "Get cipher len failed, plain len (1073741824).");

    // One more is refused even while another thread holds the reload lock
    // exclusively.
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        pthread_rwlock_wrlock(&g_stZorvaRealoadLock);
        locked.set_value();
        release.get_future().wait();
        pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    });
    locked.get_future().wait();
    auto refused = std::async(std::launch::async, [&] { return ZORVA_Encrypt(kDomain, &byte, 0x40000001u, &out, &len); });
    const bool done = refused.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.set_value();
    holder.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(refused.get(), ZORVA_ERR_PARAMETER_INVALID);
    ExpectLine("Check parms fail, plain text len (%u).", 2, 0, "ZORVA_Encrypt",
               "Check parms fail, plain text len (1073741825).");
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_CIPHER_LEN), 1u);
}

TEST_F(EncryptTest, MissingArgumentsAreCheckedInOrderBeforeInitialisation)
{
    // Not initialised, but a log function registered by a failed attempt:
    // an initialisation check would log and try the fixed key files.
    ASSERT_EQ(ZORVA_Finalize(), 0);
    ASSERT_EQ(ZORVA_Init(LogToA, "/nonexistent/p", "/nonexistent/s"), -1);
    RecorderA().Clear();
    const int initsBefore = ZorvDouble_CallCount(ZORV_DOUBLE_INIT);

    EXPECT_EQ(ZORVA_Encrypt(kDomain, nullptr, 1, nullptr, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Decrypt(kDomain, nullptr, 1, nullptr, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "(ASSERTION FAILURE) plainText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
    EXPECT_EQ(lines[0].function, "ZORVA_Encrypt");
    EXPECT_EQ(lines[0].code, 25088);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[1].message, "(ASSERTION FAILURE) plainText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
    EXPECT_EQ(lines[1].function, "ZORVA_Decrypt");
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), initsBefore);

    char *out = nullptr;
    uint32_t len = 0;
    RecorderA().Clear();
    EXPECT_EQ(ZORVA_Encrypt(kDomain, "a", 1, nullptr, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Encrypt(kDomain, "a", 1, &out, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Decrypt(kDomain, nullptr, 1, &out, &len), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Decrypt(kDomain, "AQ==", 4, &out, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    std::vector<std::string> messages;
    for (const LogLine &l : RecorderA().Lines()) {
        messages.push_back(l.function + ": " + l.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "ZORVA_Encrypt: (ASSERTION FAILURE) cipherText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                            "ZORVA_Encrypt: (ASSERTION FAILURE) cipherTextLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                            "ZORVA_Decrypt: (ASSERTION FAILURE) cipherText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                            "ZORVA_Decrypt: (ASSERTION FAILURE) plainTextLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).",
                        }));

    // With the arguments complete the initialisation check runs and fails
    // (the fixed key files do not exist here): -1, not its own code.
    RecorderA().Clear();
    EXPECT_EQ(ZORVA_Encrypt(kDomain, "a", 1, &out, &len), -1);
    EXPECT_EQ(ZORVA_Decrypt(kDomain, "AQ==", 4, &out, &len), -1);
    EXPECT_EQ(CountLines("The process has not been initialized."), 2u);
}

TEST_F(EncryptTest, RawStepsRefuseMissingArguments)
{
    unsigned char buffer[64] = {};
    uint32_t len = sizeof buffer;
    pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
    EXPECT_EQ(ZORVA_EncryptData(kDomain, nullptr, 1, buffer, &len), -1);
    EXPECT_EQ(ZORVA_EncryptData(kDomain, buffer, 1, nullptr, &len), -1);
    EXPECT_EQ(ZORVA_EncryptData(kDomain, buffer, 1, buffer, nullptr), -1);
    EXPECT_EQ(ZORVA_DecryptData(kDomain, nullptr, 1, buffer, &len), -1);
    EXPECT_EQ(ZORVA_DecryptData(kDomain, buffer, 1, nullptr, &len), -1);
    EXPECT_EQ(ZORVA_DecryptData(kDomain, buffer, 1, buffer, nullptr), -1);
    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    std::vector<std::string> messages;
    for (const LogLine &l : RecorderA().Lines()) {
        EXPECT_EQ(l.code, 25088);
        messages.push_back(l.function + ": " + l.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "ZORVA_EncryptData: (ASSERTION FAILURE) plainText is NULL, return(RET_ERR).",
                            "ZORVA_EncryptData: (ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).",
                            "ZORVA_EncryptData: (ASSERTION FAILURE) cipherTextLen is NULL, return(RET_ERR).",
                            "ZORVA_DecryptData: (ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).",
                            "ZORVA_DecryptData: (ASSERTION FAILURE) plainText is NULL, return(RET_ERR).",
                            "ZORVA_DecryptData: (ASSERTION FAILURE) plainTextLen is NULL, return(RET_ERR).",
                        }));
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_ENCRYPT) + MurDouble_CallCount(MUR_DOUBLE_DECRYPT), 0u);
}

TEST_F(EncryptTest, FirstFailureIsRetriedAfterAForcedReload)
{
    MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_ENCRYPT), 2u);
    EXPECT_EQ(Resets(), 1);
    ExpectLine("Encrypt data (domain:%u, in len:%u) failed, err(%lu), try again.", 2, 25090, "ZORVA_EncryptData",
               "Encrypt data (domain:9, in len:6) failed, err(119), try again.");
    ExpectLine("The force is (%d), and need to reload key file.", 4, 25089, "ZORVA_CheckReloadKeyFile",
               "The force is (1), and need to reload key file.");
    EXPECT_EQ(CountLines("Encrypt data (domain:%u, in len:%u) failed, err(%lu)."), 0u);

    RecorderA().Clear();
    MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    const Plain p = Decrypt(kDomain, c.text);
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.text, "secret");
    EXPECT_EQ(Resets(), 2);
    ExpectLine("Decrypt data (domain:%u, in len:%u) failed, err(%lu), retry again.", 3, 25156, "ZORVA_DecryptData",
               "Decrypt data (domain:9, in len:22) failed, err(119), retry again.");
    EXPECT_EQ(CountLines("Decrypt data (domain:%u, in len:%u) failed, err(%lu)."), 0u);
}

TEST_F(EncryptTest, SecondFailureGivesUp)
{
    MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 2, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Encrypt(kDomain, "secret").result, -1);
    EXPECT_EQ(CountLines("Encrypt data (domain:%u, in len:%u) failed, err(%lu), try again."), 1u);
    ExpectLine("Encrypt data (domain:%u, in len:%u) failed, err(%lu).", 2, 25090, "ZORVA_EncryptData",
               "Encrypt data (domain:9, in len:6) failed, err(119).");
    ExpectLine("Zorv encrypt data failed, domain (%u).", 2, 25095, "ZORVA_Encrypt",
               "Zorv encrypt data failed, domain (9).");
    EXPECT_EQ(CountLines("Base64 encode block failed."), 0u);

    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    RecorderA().Clear();
    MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 2, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Decrypt(kDomain, c.text).result, -1);
    EXPECT_EQ(CountLines("Decrypt data (domain:%u, in len:%u) failed, err(%lu), retry again."), 1u);
    ExpectLine("Decrypt data (domain:%u, in len:%u) failed, err(%lu).", 2, 25148, "ZORVA_DecryptData",
               "Decrypt data (domain:9, in len:22) failed, err(119).");
    ExpectLine("Decrypt data failed, domain:%u.", 2, 25107, "ZORVA_Decrypt", "Decrypt data failed, domain:9.");

    // A cipher of another domain is refused by the library: the same path.
    RecorderA().Clear();
    EXPECT_EQ(Decrypt(10, c.text).result, -1);
    EXPECT_EQ(CountLines("Decrypt data failed, domain:%u."), 1u);
}

TEST_F(EncryptTest, FailedForcedReloadStopsBeforeTheSecondCall)
{
    // Reset refused, both initialisations refused.
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 9);
    MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Encrypt(kDomain, "secret").result, -1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_ENCRYPT), 1u);
    ExpectLine("Check reload key file failed.", 2, 25090, "ZORVA_EncryptData", "Check reload key file failed.");
    EXPECT_EQ(CountLines("Zorv encrypt data failed, domain (%u)."), 1u);
    EXPECT_FALSE(ReloadLockHeld());

    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 0);
    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    RecorderA().Clear();
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 9);
    MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    EXPECT_EQ(Decrypt(kDomain, c.text).result, -1);
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_DECRYPT), 1u);
    ExpectLine("Check reload key file failed.", 2, 25090, "ZORVA_DecryptData", "Check reload key file failed.");
    EXPECT_FALSE(ReloadLockHeld());
}

TEST_F(EncryptTest, RetryGetsTheWholeBufferWhateverTheFailedCallLeftInTheLength)
{
    const std::string secret = "twelve bytes";
    const uint32_t rawSize = static_cast<uint32_t>(secret.size()) + MUR_DOUBLE_CIPHER_OVERHEAD;
    // Failed call wrote 0, then a length larger than the buffer.
    for (int64_t written : {int64_t{0}, int64_t{1} << 20}) {
        MurDouble_Reset();
        MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 1, kMurFailure, written);
        const Cipher c = Encrypt(kDomain, secret);
        ASSERT_EQ(c.result, 0) << written;
        EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_ENCRYPT, 0), rawSize);
        EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_ENCRYPT, 1), rawSize);

        MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 1, kMurFailure, written);
        const Plain p = Decrypt(kDomain, c.text);
        ASSERT_EQ(p.result, 0) << written;
        EXPECT_EQ(p.text, secret);
        EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_DECRYPT, 0), rawSize);
        EXPECT_EQ(MurDouble_LengthSeen(MUR_DOUBLE_DECRYPT, 1), rawSize);
    }
}

TEST_F(EncryptTest, FailedCallsThatInflateTheLengthDoNotWidenTheWipe)
{
    // Both calls fail and leave a length far beyond the buffer; the buffers
    // are still released over their own size (a wipe over the written
    // length would run off the heap block).
    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 2, kMurFailure, 0x7FFFFF00);
    EXPECT_EQ(Encrypt(kDomain, "secret").result, -1);
    MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 2, kMurFailure, 0x7FFFFF00);
    EXPECT_EQ(Decrypt(kDomain, c.text).result, -1);
    // A smaller length on failure: nothing to see but the result.
    MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 2, kMurFailure, 1);
    EXPECT_EQ(Decrypt(kDomain, c.text).result, -1);
}

TEST_F(EncryptTest, LibraryCallsRunUnderTheReadHoldAlsoAfterAnExclusiveReload)
{
    static std::atomic<int> heldCalls;
    static std::atomic<int> calls;
    heldCalls = 0;
    calls = 0;
    MurDouble_SetHook([](MurDoubleCall) {
        ++calls;
        // A read hold blocks a writer, and still admits another reader.
        const bool noWriter = pthread_rwlock_tryrdlock(&g_stZorvaRealoadLock) == 0;
        if (noWriter) {
            pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        }
        if (ReloadLockHeld() && noWriter) {
            ++heldCalls;
        }
    });
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1); // re-initialise under the write hold
    MurDouble_FailNext(MUR_DOUBLE_ENCRYPT, 1, kMurFailure, MUR_DOUBLE_KEEP_LENGTH);
    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_FINALIZE), 1);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    ExpectLine("Reload key file done, ret (%lu).", 4, 25089, "ZORVA_CheckReloadKeyFile",
               "Reload key file done, ret (1).");
    EXPECT_EQ(Decrypt(kDomain, c.text).text, "secret");
    EXPECT_EQ(calls.load(), 4); // size query, two encryptions, decryption
    EXPECT_EQ(heldCalls.load(), calls.load());
    MurDouble_SetHook(nullptr);
    EXPECT_FALSE(ReloadLockHeld());
}

TEST_F(EncryptTest, EncryptionTakesUpAChangedKeyFileDecryptionDoesNot)
{
    const Cipher c = Encrypt(kDomain, "secret");
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(Resets(), 0);

    RewritePrimary("key store, rotated", kKeyFileTime + 10);
    EXPECT_EQ(Decrypt(kDomain, c.text).result, 0);
    EXPECT_EQ(Resets(), 0);
    EXPECT_EQ(Encrypt(kDomain, "secret").result, 0);
    EXPECT_EQ(Resets(), 1);
    EXPECT_EQ(CountLines("Zorvm_pri file sha256 is not same, need to reload."), 1u);
    EXPECT_EQ(Encrypt(kDomain, "secret").result, 0);
    EXPECT_EQ(Resets(), 1);
}

TEST_F(EncryptTest, CipherLengthQuery)
{
    uint32_t len = 0;
    ASSERT_EQ(ZORVA_GetCipherLen(6, &len), 0);
    EXPECT_EQ(len, ZORVA_Base64EncodeLen(6 + MUR_DOUBLE_CIPHER_OVERHEAD));
    EXPECT_EQ(len, Encrypt(kDomain, "secret").length);
    // No limit of its own.
    ASSERT_EQ(ZORVA_GetCipherLen(0x40000001u, &len), 0);
    EXPECT_EQ(len, ZORVA_Base64EncodeLen(0x40000001u + MUR_DOUBLE_CIPHER_OVERHEAD));

    EXPECT_EQ(ZORVA_GetCipherLen(6, nullptr), -1);
    ExpectLine("(ASSERTION FAILURE) puCBufLen is NULL, return(RET_ERR).", 2, 25088, "ZORVA_GetCipherLen",
               "(ASSERTION FAILURE) puCBufLen is NULL, return(RET_ERR).");

    len = 4242;
    MurDouble_FailNext(MUR_DOUBLE_CIPHER_LEN, 1, 3, 17);
    EXPECT_EQ(ZORVA_GetCipherLen(6, &len), -1);
    EXPECT_EQ(len, 4242u);
    ExpectLine("Get cipher data len failed, err(%lu).", 2, 25089, "ZORVA_GetCipherLen",
               "Get cipher data len failed, err(3).");

    // Not initialised: 10007, no initialisation tried.
    ASSERT_EQ(ZORVA_Finalize(), 0);
    ASSERT_EQ(ZORVA_Init(LogToA, "/nonexistent/p", "/nonexistent/s"), -1);
    RecorderA().Clear();
    const int inits = ZorvDouble_CallCount(ZORV_DOUBLE_INIT);
    EXPECT_EQ(ZORVA_GetCipherLen(6, &len), ZORVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), inits);
    ExpectLine("The process has not been initialized.", 2, 25137, "ZORVA_GetCipherLen",
               "The process has not been initialized.");
}

TEST_F(EncryptTest, ParameterRecordCheck)
{
    const ZorvaParms good{150, 2};
    EXPECT_EQ(ZORVA_CheckParms(&good), 0);
    EXPECT_TRUE(RecorderA().Lines().empty());

    EXPECT_EQ(ZORVA_CheckParms(nullptr), ZORVA_ERR_PARAMETER_INVALID);
    const ZorvaParms badDomain{26, 0};
    EXPECT_EQ(ZORVA_CheckParms(&badDomain), ZORVA_ERR_PARAMETER_INVALID);
    const ZorvaParms badAlg{9, 3};
    EXPECT_EQ(ZORVA_CheckParms(&badAlg), ZORVA_ERR_PARAMETER_INVALID);
    ExpectLine("Check zorva parms fail.", 2, 0, "ZORVA_CheckParms", "Check zorva parms fail.");
    ExpectLine("Check domain id (%u) fail.", 2, 0, "ZORVA_CheckParms", "Check domain id (26) fail.");
    ExpectLine("Check algorithm id (%u) fail.", 2, 0, "ZORVA_CheckParms", "Check algorithm id (3) fail.");
}

TEST_F(EncryptTest, UndecodableCipherTextFailsBeforeTheLibrary)
{
    EXPECT_EQ(Decrypt(kDomain, "A*==").result, -1);
    ExpectLine("Base64 decode block fail, err(%d).", 2, 25096, "ZORVA_Decrypt", "Base64 decode block fail, err(-1).");
    RecorderA().Clear();
    EXPECT_EQ(Decrypt(kDomain, "").result, -1);
    ExpectLine("Base64 decode block fail, err(%d).", 2, 25096, "ZORVA_Decrypt",
               "Base64 decode block fail, err(10002).");
    EXPECT_EQ(MurDouble_CallCount(MUR_DOUBLE_DECRYPT), 0u);
}

} // namespace
} // namespace zorva_test
