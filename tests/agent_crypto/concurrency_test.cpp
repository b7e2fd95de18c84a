// Several threads encrypt, decrypt, compute and verify HMACs while the key
// file is rewritten again and again, some resets fail (re-initialisation
// under the write hold) and some library calls fail once (forced reload and
// retry). Every operation must succeed and every cipher text made before or
// during the rotations must decrypt at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

constexpr int kWorkers = 4;
constexpr int kMaxIterations = 1000000; // a bound only: workers run until told to stop
constexpr int kRotations = 6;

struct Saved {
    uint32_t domain;
    std::string cipher;
    std::string plain;
};

class ConcurrencyTest : public CryptoTest {
protected:
    std::atomic<bool> stop_{false};
    std::atomic<int> failures_{0};
    std::atomic<int> operations_{0};
    std::mutex savedMutex_;
    std::vector<Saved> saved_;
    std::string firstFailure_;

    void Fail(const std::string &what)
    {
        std::lock_guard lock(savedMutex_);
        if (failures_++ == 0) {
            firstFailure_ = what;
        }
    }

    void Work(int id)
    {
        for (int i = 0; i < kMaxIterations && !stop_.load(); ++i) {
            const uint32_t domain = g_arrZorvaDomainId[(id * 7 + i) % ZORVA_DOMAIN_COUNT];
            const std::string plain = "worker " + std::to_string(id) + " round " + std::to_string(i);
            char *cipher = nullptr;
            uint32_t cipherLen = 0;
            if (ZORVA_Encrypt(domain, plain.data(), static_cast<uint32_t>(plain.size()), &cipher, &cipherLen) != 0) {
                Fail("encrypt " + plain);
                continue;
            }
            const std::string cipherText(cipher);
            ZORVA_MemClearFree(cipher, cipherLen);

            char *back = nullptr;
            uint32_t backLen = 0;
            if (ZORVA_Decrypt(domain, cipherText.c_str(), static_cast<uint32_t>(cipherText.size()), &back,
                              &backLen) != 0) {
                Fail("decrypt " + plain);
                continue;
            }
            if (std::string(back, backLen) != plain) {
                Fail("decrypted text of " + plain);
            }
            ZORVA_MemClearFree(back, backLen);

            const ZorvaParms parms{domain, static_cast<uint32_t>(i % 3)};
            char *hmac = nullptr;
            uint32_t hmacLen = 0;
            const auto *data = reinterpret_cast<const unsigned char *>(plain.data());
            if (ZORVA_CalcHmac(&parms, data, static_cast<uint32_t>(plain.size()), &hmac, &hmacLen) != 0) {
                Fail("hmac " + plain);
                continue;
            }
            if (ZORVA_VerifyHmac(&parms, data, static_cast<uint32_t>(plain.size()), hmac, hmacLen) != 0) {
                Fail("verify " + plain);
            }
            ZORVA_MemClearFree(hmac, hmacLen);
            operations_ += 4;
            if (i % 500 == 0) {
                std::lock_guard lock(savedMutex_);
                saved_.push_back(Saved{domain, cipherText, plain});
            }
        }
    }
};

TEST_F(ConcurrencyTest, OperationsSucceedWhileTheKeyStoreIsReloaded)
{
    std::vector<std::thread> workers;
    for (int id = 0; id < kWorkers; ++id) {
        workers.emplace_back([this, id] { Work(id); });
    }
    for (int k = 1; k <= kRotations; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        RewritePrimary("key store, rotation " + std::to_string(k), kKeyFileTime + k);
        if (k % 3 == 0) {
            // The next reset fails: finalise and initialise under the write hold.
            ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
        }
        if (k == 2) {
            // One decryption and one verification fail once and are retried.
            // Queued once only: a retry held up by a reload's pause must not
            // take a failure queued for a later rotation and fail twice.
            MurDouble_FailNext(MUR_DOUBLE_DECRYPT, 1, 0x66, 0);
            MurDouble_FailNext(MUR_DOUBLE_VERIFY, 1, 0x66, MUR_DOUBLE_KEEP_LENGTH);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    stop_ = true;
    for (std::thread &t : workers) {
        t.join();
    }
    std::printf("%d operations, %d resets, %d re-initialisations\n", operations_.load(), Resets(),
                ZorvDouble_CallCount(ZORV_DOUBLE_INIT));

    EXPECT_EQ(failures_.load(), 0) << firstFailure_;
    EXPECT_GT(operations_.load(), 0);
    EXPECT_GE(Resets(), 1);
    EXPECT_GE(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_FALSE(ReloadLockHeld());
    ResetStandIns();

    // Everything made before or during the rotations still decrypts.
    for (const Saved &s : saved_) {
        char *back = nullptr;
        uint32_t backLen = 0;
        ASSERT_EQ(ZORVA_Decrypt(s.domain, s.cipher.c_str(), static_cast<uint32_t>(s.cipher.size() + 1), &back,
                                &backLen),
                  0);
        EXPECT_EQ(std::string(back, backLen), s.plain);
        ZORVA_MemClearFree(back, backLen);
    }
    EXPECT_FALSE(saved_.empty());
}

} // namespace
} // namespace zorva_test
