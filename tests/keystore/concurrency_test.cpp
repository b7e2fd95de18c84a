// Many threads encrypting, decrypting and computing HMACs while another
// rotates the keys on disk and resets the store: every call sees a whole
// key table, and old cipher texts keep decrypting.
#include <thread>

#include "keystore_support.h"
#include "mur.h"

using namespace kstest;

namespace {

class ConcurrencyTest : public StoreFixture {};

TEST_F(ConcurrencyTest, ResetWhileOtherThreadsUseTheKeys)
{
    ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<long> operations{0};

    auto worker = [&](uint32_t domain) {
        const unsigned char plain[32] = "thirty-one bytes of plain text.";
        unsigned char first[72];
        uint32_t firstLen = sizeof first;
        if (MurEncryptEx(domain, 9, plain, 32, first, &firstLen) != 0) {
            failures++;
            return;
        }
        while (!stop.load()) {
            unsigned char cipher[72], back[72], mac[76];
            uint32_t c = sizeof cipher, p = sizeof back, m = sizeof mac;
            const bool ok = MurEncryptEx(domain, 9, plain, 32, cipher, &c) == 0 &&
                            MurDecryptEx(domain, cipher, c, back, &p) == 0 && p == 32 &&
                            std::memcmp(back, plain, 32) == 0 &&
                            MurDecryptEx(domain, first, firstLen, back, &(p = sizeof back)) == 0 &&
                            MurHmacEx(domain, 2053, plain, 32, mac, &m) == 0 &&
                            MurVerifyHmacEx(domain, plain, 32, mac, m) == 0;
            failures += ok ? 0 : 1;
            operations++;
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t d : {9u, 9u, 0u, 152u}) {
        threads.emplace_back(worker, d);
    }
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(QintAdminRotateEx(&names_, i % 2 ? 9 : QINT_ALL_DOMAINS, nullptr), 0u);
        ASSERT_EQ(QintResetEx(), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(operations.load(), 0);
}

// Finalising destroys the state lock that the caller's record created;
// calls that saw the store loaded must be out of it first, and later ones
// must find the store closed instead of a destroyed lock.
TEST_F(ConcurrencyTest, FinaliseAndInitialiseWhileOtherThreadsAskForKeys)
{
    ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<long> opened{0};
    auto worker = [&] {
        const unsigned char plain[8] = "seven.";
        while (!stop.load()) {
            unsigned char cipher[48], back[48];
            uint32_t c = sizeof cipher, p = sizeof back;
            const uint64_t sealed = MurEncryptEx(9, 9, plain, 8, cipher, &c);
            if (sealed == 0 && MurDecryptEx(9, cipher, c, back, &p) == 0) {
                wrong += p == 8 && std::memcmp(back, plain, 8) == 0 ? 0 : 1;
                opened++;
            } else if (sealed != 0 && sealed != MUR_ERR_NOT_INITIALIZED) {
                wrong++;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back(worker);
    }
    // At least 300 cycles, and on until some worker has overlapped them: on a
    // loaded machine the workers may not have run at all by then.
    for (int i = 0; i < 300 || (opened.load() == 0 && i < 1000000); ++i) {
        ASSERT_EQ(QintFinalizeEx(), 0u);
        ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
        std::this_thread::yield();
    }
    stop = true;
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(opened.load(), 0);
    EXPECT_EQ(Capture::Get().locksCreated.load(), Capture::Get().locksDestroyed.load() + 1);
}

} // namespace
