// Threads encrypt, decrypt, compute and verify HMACs (through the entry
// points, and through a raw data call inside a read hold of the exported
// reload lock that the thread takes itself, as its callers must) on the real
// key store while another thread finalises and initialises the agent again
// and again. An operation may be refused while the agent is finalised, but
// nothing may crash, no answer may be wrong, and the thread sanitizer build
// must stay silent.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "keytool.h"
#include "temp_dir.h"
#include "zorva_main.h"

namespace zorva_test {
namespace {

constexpr int kWorkers = 2;
constexpr int kCycles = 40;
constexpr int kMaxRounds = 100000; // a bound only: workers stop with the cycles

void Quiet(int32_t, int32_t, const char *, int32_t, int32_t, const char *, ...) {}

struct Counts {
    std::atomic<int> ok{0};
    std::atomic<int> wrong{0};
};

// One round of every operation; a refusal is allowed, a wrong answer is not.
void Round(const std::string &plain, const std::vector<unsigned char> &raw, Counts &c)
{
    char *cipher = nullptr;
    uint32_t cipherLen = 0;
    if (ZORVA_Encrypt(9, plain.data(), static_cast<uint32_t>(plain.size()), &cipher, &cipherLen) == RET_OK) {
        char *back = nullptr;
        uint32_t backLen = 0;
        if (ZORVA_Decrypt(9, cipher, cipherLen, &back, &backLen) == RET_OK) {
            (std::string(back, backLen) == plain ? c.ok : c.wrong)++;
            ZORVA_MemClearFree(back, backLen);
        }
        ZORVA_MemClearFree(cipher, cipherLen);
    }

    const ZorvaParms parms{9, 1};
    const auto *data = reinterpret_cast<const unsigned char *>(plain.data());
    char *hmac = nullptr;
    uint32_t hmacLen = 0;
    if (ZORVA_CalcHmac(&parms, data, static_cast<uint32_t>(plain.size()), &hmac, &hmacLen) == RET_OK) {
        const int verified = ZORVA_VerifyHmac(&parms, data, static_cast<uint32_t>(plain.size()), hmac, hmacLen);
        // Finalised in between: refused (-1); a mismatch would also be -1,
        // so only a success counts.
        c.ok += verified == RET_OK;
        ZORVA_MemClearFree(hmac, hmacLen);
    }

    std::vector<unsigned char> out(raw.size());
    uint32_t outLen = static_cast<uint32_t>(out.size());
    pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
    if (ZORVA_DecryptData(9, raw.data(), static_cast<uint32_t>(raw.size()), out.data(), &outLen) == RET_OK) {
        (std::string(out.begin(), out.begin() + outLen) == "raw" ? c.ok : c.wrong)++;
    }
    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
}

TEST(RealFinalise, OperationsRunSafelyWhileAnotherThreadFinalisesAndInitialises)
{
    TempDir dir;
    const std::string primary = dir / "primary.dat";
    const std::string standby = dir / "standby.dat";
    ASSERT_EQ(CreateStore(primary, standby), 0);
    ASSERT_EQ(ZORVA_Init(Quiet, primary.c_str(), standby.c_str()), RET_OK);

    // A raw cipher for the raw decryption, made while initialised.
    char *text = nullptr;
    uint32_t textLen = 0;
    ASSERT_EQ(ZORVA_Encrypt(9, "raw", 3, &text, &textLen), RET_OK);
    unsigned char *raw = nullptr;
    uint32_t rawLen = 0;
    ASSERT_EQ(ZORVA_Base64Decode(text, textLen, &raw, &rawLen), RET_OK);
    const std::vector<unsigned char> rawCipher(raw, raw + rawLen);
    ZORVA_MemClearFree(raw, rawLen);
    ZORVA_MemClearFree(text, textLen);

    std::atomic<bool> stop{false};
    Counts counts;
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kMaxRounds && !stop.load(); ++i) {
                Round("secret " + std::to_string(t) + "/" + std::to_string(i), rawCipher, counts);
            }
        });
    }
    // At least kCycles, and on until some operation has overlapped them: on a
    // loaded machine the workers may not have run at all by then.
    int cycles = 0;
    int rounds = 0;
    for (; rounds < kCycles || (counts.ok.load() == 0 && rounds < kMaxRounds); ++rounds) {
        cycles += ZORVA_Finalize() == RET_OK && ZORVA_Init(Quiet, primary.c_str(), standby.c_str()) == RET_OK;
        std::this_thread::yield();
    }
    stop = true;
    for (std::thread &w : workers) {
        w.join();
    }

    EXPECT_EQ(cycles, rounds);
    EXPECT_EQ(counts.wrong.load(), 0);
    EXPECT_GT(counts.ok.load(), 0);
    // Whole again afterwards.
    Counts after;
    Round("after the cycles", rawCipher, after);
    EXPECT_EQ(after.ok.load(), 3);
    EXPECT_EQ(ZORVA_Finalize(), RET_OK);
}

} // namespace
} // namespace zorva_test
