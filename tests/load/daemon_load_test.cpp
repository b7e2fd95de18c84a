// The daemon under load: four clients at once, malformed requests between
// the valid ones, and idle connections; every valid request is answered
// correctly, nothing else gets a byte, and the daemon's memory and
// descriptors stay level. Then memcheck over encrypt_tool and over a daemon
// serving 100 requests.
//
// Runs through tests/isolated.sh (private /etc); ZORVA_LOAD_REQUESTS sets
// the number of valid requests of the load test (default 10000).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>

#include "load_support.h"
#include "processes.h"

namespace {

using namespace load;
using e2e::kSanitized;

std::string UniqueName(const char *tag) { return std::string("zorva-load-") + tag + "-" + std::to_string(getpid()); }

class Load : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Isolated()) {
            GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)";
        }
        unlink("/etc/zorvm_primary_file.dat");
        unlink("/etc/zorvm_standby_file.dat");
        ASSERT_EQ(Keytool("create"), 0);
        secrets_ = MakeSecrets();
        ASSERT_FALSE(secrets_.empty()) << "encrypt_tool failed";
    }
    std::vector<Secret> secrets_;
};

TEST_F(Load, FourClientsWithMalformedRequestsAllAnsweredAndTheDaemonStaysLevel)
{
    constexpr int kClients = 4;
    const int total = RequestCount(10000);
    Daemon daemon(UniqueName("four"));
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();

    // Warm up alone, so the allocator and the crypto library have their
    // steady state before the first measurement.
    {
        ClientPlan warm{daemon.name(), 200, 5, 0, 99};
        Client c(warm, secrets_);
        const Tally t = c.Wait();
        ASSERT_EQ(t.answered, 200) << daemon.Err();
    }
    const Usage before = UsageOf(daemon.pid());
    ASSERT_GT(before.fds, 0);

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        // Client 0 also holds two idle connections until the daemon's
        // time-out drops them.
        ClientPlan plan{daemon.name(), total / kClients, 10, i == 0 ? 2 : 0, static_cast<unsigned>(i + 1)};
        clients.push_back(std::make_unique<Client>(plan, secrets_));
    }
    Tally sum;
    for (auto &c : clients) {
        const Tally t = c->Wait();
        EXPECT_EQ(t.wrong, 0);
        EXPECT_EQ(t.malformedAnswered, 0);
        sum.answered += t.answered;
        sum.malformed += t.malformed;
        sum.idle += t.idle;
    }
    EXPECT_EQ(sum.answered, total / kClients * kClients);
    EXPECT_GE(sum.malformed, total / 10 - kClients);
    EXPECT_EQ(sum.idle, 2);
    ASSERT_TRUE(daemon.Running());

    const Usage after = UsageOf(daemon.pid());
    EXPECT_EQ(after.fds, before.fds) << "descriptors leaked";
    std::printf("daemon: %d requests (+%d malformed, 2 idle), RSS %ld kB -> %ld kB, fds %d -> %d\n", sum.answered,
                sum.malformed, before.rssKb, after.rssKb, before.fds, after.fds);
    if (!kSanitized) {
        // Sanitizer builds hold freed memory back on purpose; measure without them.
        EXPECT_LE(after.rssKb - before.rssKb, 512) << "resident memory grew";
    }
    // Still serving after all that.
    ClientPlan last{daemon.name(), 5, 0, 0, 42};
    EXPECT_EQ(Client(last, secrets_).Wait().answered, 5);
    // Every refusal was logged as a line of its own.
    EXPECT_NE(daemon.Err().find("][Error][BrimDecrypt]["), std::string::npos);
    EXPECT_NE(daemon.Out().find("]Failed recv from client, ret{"), std::string::npos);
}

// ---------------------------------------------------------------------------
// memcheck

class Memcheck : public Load {
protected:
    void SetUp() override
    {
        if (kSanitized) {
            GTEST_SKIP() << "valgrind cannot run sanitizer builds";
        }
        if (access("/usr/bin/valgrind", X_OK) != 0) {
            GTEST_SKIP() << "valgrind is not installed (scripts/install-deps installs it)";
        }
        Load::SetUp();
        log_ = std::string("/tmp/zorva-memcheck-") + std::to_string(getpid()) + ".log";
    }
    void TearDown() override { unlink(log_.c_str()); }

    std::vector<std::string> Valgrind() const
    {
        return {"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
                "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
                "--suppressions=" ZORVA_LOAD_DIR "/daemon.supp", "--log-file=" + log_};
    }
    // The report must show no error and no lost block.
    void ExpectClean() const
    {
        const std::string report = e2e::ReadFile(log_);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(ERROR SUMMARY: (\d+) errors)"))) << report;
        EXPECT_EQ(m[1], "0") << report;
        for (const char *kind : {"definitely lost", "indirectly lost", "possibly lost"}) {
            const std::regex lost(std::string(kind) + R"(: ([\d,]+) bytes)");
            if (std::regex_search(report, m, lost)) {
                EXPECT_EQ(m[1], "0") << kind << "\n" << report;
            }
        }
    }
    std::string log_;
};

TEST_F(Memcheck, EncryptToolHasNoErrorsAndNoLeaks)
{
    std::vector<std::string> argv = Valgrind();
    argv.push_back(e2e::BinPath("encrypt_tool"));
    argv.push_back("encrpyt");
    argv.push_back("MEMCHECK_SECRET");
    const e2e::Outcome o = e2e::RunProgram(argv, e2e::WithEnv({{"MEMCHECK_SECRET", "memcheck secret"}}));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.rfind("cipher_text:", 0), 0u) << o.out;
    ExpectClean();

    // A refused command line and an unset variable are clean as well.
    argv.pop_back();
    argv.push_back("UNSET_MEMCHECK_VARIABLE");
    EXPECT_EQ(e2e::RunProgram(argv).status, 255);
    ExpectClean();
}

TEST_F(Memcheck, DaemonServing100RequestsHasNoErrorsAndNoLeaks)
{
    Daemon daemon(UniqueName("memcheck"), Valgrind());
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err() << e2e::ReadFile(log_);
    ClientPlan plan{daemon.name(), 100, 10, 0, 7};
    Client c(plan, secrets_);
    const Tally t = c.Wait();
    EXPECT_EQ(t.answered, 100);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.malformedAnswered, 0);
    daemon.Stop(); // valgrind reports when the signal ends the daemon
    ExpectClean();
}

} // namespace
