// Key rotation under load: while two clients decrypt through the daemon and
// agent threads in this process encrypt and decrypt, zorvm_keytool rotates
// every domain's key 50 times. Not one request may fail, and the cipher
// texts made before the first rotation still decrypt after the last.
//
// Runs through tests/isolated.sh (private /etc).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load_support.h"
#include "zorva_main.h"

namespace {

using namespace load;

constexpr int kRotations = 50;
constexpr int kAgentThreads = 2;
constexpr uint32_t kDomain = 9;

std::atomic<int> g_agentErrors{0};

// The agent's own error lines are counted (a retry after a reload is logged
// at a lower level and is not an error of the request). The keytool replaces
// each file whole, so the agent never hashes a half-written primary. Lines
// the key store forwards are not counted: a reload that finds the standby
// already rotated and the primary not yet reports the older copy at its
// error level and restores it, which is what must happen.
void CountErrors(int32_t, int32_t level, const char *function, int32_t, int32_t, const char *format, ...)
{
    if (level == ZORVA_LOG_ERROR && std::string(function) != "ZORVA_ZorvLog") {
        g_agentErrors++;
        std::fprintf(stderr, "agent error line: %s: %s\n", function, format);
    }
}

struct AgentTally {
    std::atomic<long> rounds{0};
    std::atomic<long> failures{0};
};

void AgentLoop(int id, const std::atomic<bool> &stop, AgentTally &tally)
{
    for (long i = 0; !stop.load(); ++i) {
        const std::string plain = "agent thread " + std::to_string(id) + " round " + std::to_string(i);
        char *cipher = nullptr;
        uint32_t cipherLen = 0;
        if (ZORVA_Encrypt(kDomain, plain.c_str(), static_cast<uint32_t>(plain.size()), &cipher, &cipherLen) != 0) {
            tally.failures++;
            continue;
        }
        char *back = nullptr;
        uint32_t backLen = 0;
        const int rc = ZORVA_Decrypt(kDomain, cipher, cipherLen, &back, &backLen);
        ZORVA_MemClearFree(cipher, cipherLen);
        if (rc != 0 || std::string(back, backLen) != plain) {
            tally.failures++;
        }
        if (rc == 0) {
            ZORVA_MemClearFree(back, backLen);
        }
        tally.rounds++;
    }
}

TEST(Rotation, FiftyRotationsOfEveryKeyUnderLoadFailNoRequest)
{
    if (!Isolated()) {
        GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)";
    }
    unlink("/etc/zorvm_primary_file.dat");
    unlink("/etc/zorvm_standby_file.dat");
    ASSERT_EQ(Keytool("create"), 0);
    const std::vector<Secret> secrets = MakeSecrets();
    ASSERT_FALSE(secrets.empty()) << "encrypt_tool failed";

    Daemon daemon("zorva-load-rotation-" + std::to_string(getpid()));
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
    ASSERT_EQ(ZORVA_Init(CountErrors, "/etc/zorvm_primary_file.dat", "/etc/zorvm_standby_file.dat"), 0);

    std::vector<std::unique_ptr<Client>> clients;
    for (unsigned i = 0; i < 2; ++i) {
        ClientPlan plan{daemon.name(), 0, 0, 0, 11 + i};
        clients.push_back(std::make_unique<Client>(plan, secrets));
    }
    std::atomic<bool> stopAgents{false};
    AgentTally agent;
    std::vector<std::thread> threads;
    for (int i = 0; i < kAgentThreads; ++i) {
        threads.emplace_back(AgentLoop, i, std::cref(stopAgents), std::ref(agent));
    }

    int failedRotations = 0;
    for (int i = 0; i < kRotations; ++i) {
        failedRotations += Keytool("rotate") != 0 ? 1 : 0;
    }

    stopAgents = true;
    for (auto &t : threads) {
        t.join();
    }
    for (auto &c : clients) {
        c->Stop();
    }
    Tally sum;
    for (auto &c : clients) {
        const Tally t = c->Wait();
        EXPECT_EQ(t.wrong, 0);
        sum.answered += t.answered;
        sum.wrong += t.wrong;
    }
    std::printf("rotation: %d rotations, %d daemon requests, %ld agent rounds, %ld failed\n", kRotations,
                sum.answered, agent.rounds.load(), agent.failures.load());
    EXPECT_EQ(failedRotations, 0);
    EXPECT_EQ(agent.failures.load(), 0);
    EXPECT_EQ(g_agentErrors.load(), 0);
    EXPECT_GT(sum.answered, 0);
    EXPECT_GT(agent.rounds.load(), 0);
    EXPECT_EQ(Keytool("verify"), 0) << "both copies equal after the last rotation";

    // Texts from before the first rotation, through the daemon and the agent.
    ClientPlan last{daemon.name(), 20, 0, 0, 21};
    EXPECT_EQ(Client(last, secrets).Wait().answered, 20);
    for (const Secret &s : secrets) {
        char *back = nullptr;
        uint32_t backLen = 0;
        ASSERT_EQ(ZORVA_Decrypt(kDomain, s.cipher.c_str(), static_cast<uint32_t>(s.cipher.size()), &back, &backLen),
                  0);
        EXPECT_EQ(std::string(back, backLen), s.plain);
        ZORVA_MemClearFree(back, backLen);
    }
    EXPECT_EQ(ZORVA_Finalize(), 0);
}

} // namespace
