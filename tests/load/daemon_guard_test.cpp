// The daemon against local processes that try to stand in for it or hold it
// up: a squatter on its name, a socket passed by a service manager, idle and
// dripping connections, a flood of refused peers, and a process out of
// descriptors. Runs through tests/isolated.sh (private /etc, root).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "load_support.h"
#include "processes.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr uid_t kClientUid = 1000;
constexpr uid_t kOtherUid = 1001;

std::string UniqueName(const char *tag) { return std::string("zorva-guard-") + tag + "-" + std::to_string(getpid()); }

int Connect(const std::string &name)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + name.size());
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void BecomeUser(uid_t uid)
{
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        _exit(121);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL); // after the change of user, which clears it
}

// A child running as `uid` that runs body(reportFd); the parent reads what
// it reports.
class Child {
public:
    template <typename Body> Child(uid_t uid, Body body)
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            BecomeUser(uid);
            body(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        report_ = fds[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (report_ >= 0) {
            close(report_);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // The next value the child reported, or -1 when it ended first.
    long Next()
    {
        long value = -1;
        return read(report_, &value, sizeof value) == static_cast<ssize_t>(sizeof value) ? value : -1;
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
};

void Report(int fd, long value) { (void)!write(fd, &value, sizeof value); }

// Opens `idle` silent connections and `drip` connections that send one byte
// every 4 s, reports how many are open, and holds them until killed.
std::unique_ptr<Child> HoldConnections(const std::string &name, int idle, int drip)
{
    return std::make_unique<Child>(kClientUid, [name, idle, drip](int report) {
        std::vector<int> dripping, held;
        for (int i = 0; i < idle + drip; ++i) {
            const int fd = Connect(name);
            if (fd >= 0) {
                (i < idle ? held : dripping).push_back(fd);
            }
        }
        Report(report, static_cast<long>(held.size() + dripping.size()));
        for (;;) {
            std::this_thread::sleep_for(4s);
            for (const int fd : dripping) {
                (void)send(fd, "d", 1, MSG_NOSIGNAL);
            }
        }
    });
}

// CPU time (user + system, clock ticks) of a process.
long CpuTicks(pid_t pid)
{
    const std::string stat = e2e::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class Guard : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!load::Isolated()) {
            GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)";
        }
        unlink("/etc/zorvm_primary_file.dat");
        unlink("/etc/zorvm_standby_file.dat");
        ASSERT_EQ(load::Keytool("create"), 0);
        secrets_ = load::MakeSecrets();
        ASSERT_FALSE(secrets_.empty()) << "encrypt_tool failed";
    }
    // A valid request as user id 1000 on a fresh connection, answered right.
    bool Answered(const std::string &name, size_t which = 0) const
    {
        const load::Secret &s = secrets_[which % secrets_.size()];
        return e2e::Talk(name, e2e::Frame(s.cipher)).response == load::ResponseFor(s.plain);
    }
    e2e::Outcome Client(const std::string &name, std::map<std::string, std::optional<std::string>> env = {}) const
    {
        env["DS_MINIO_UDS_NAME"] = "@" + name;
        return e2e::RunProgram({e2e::BinPath("uds_decrypt_client"), secrets_[1].cipher}, e2e::WithEnv(env, kClientUid));
    }
    std::vector<load::Secret> secrets_;
};

// ---------------------------------------------------------------------------

using Squatter = Guard;

TEST_F(Squatter, DaemonCannotStartAndTheClientSendsTheSquatterNothing)
{
    const std::string name = UniqueName("squat");
    // Another user binds the name first and answers every connection with a
    // well-formed frame, reporting how many bytes it was sent.
    Child squatter(kOtherUid, [name](int report) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, name.data(), name.size());
        if (bind(fd, reinterpret_cast<const sockaddr *>(&addr),
                 static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + name.size())) != 0 ||
            listen(fd, 4) != 0) {
            _exit(1);
        }
        Report(report, 0);
        for (;;) {
            const int conn = accept(fd, nullptr, nullptr);
            std::string answer(64, '\0');
            answer[3] = 6;
            (void)send(conn, (answer + "forged").data(), 70, MSG_NOSIGNAL);
            shutdown(conn, SHUT_WR);
            long got = 0;
            char chunk[4096];
            struct pollfd p = {conn, POLLIN, 0};
            for (ssize_t n; poll(&p, 1, 2000) > 0 && (n = recv(conn, chunk, sizeof chunk, 0)) > 0;) {
                got += n;
            }
            close(conn);
            Report(report, got);
        }
    });
    ASSERT_EQ(squatter.Next(), 0) << "the squatter could not bind";

    e2e::Daemon daemon("@" + name);
    EXPECT_EQ(daemon.WaitExit(5s), 255);
    EXPECT_NE(daemon.Err().find("]Failed bind unix socket.\n"), std::string::npos) << daemon.Err();

    e2e::Outcome o = Client(name);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "") << "the squatter's answer is not printed";
    EXPECT_NE(o.err.find("user id 1001"), std::string::npos) << o.err;
    EXPECT_EQ(squatter.Next(), 0) << "the cipher text went to the squatter";

    // A user id named in ZORVA_SERVER_UID is trusted like root.
    o = Client(name, {{"ZORVA_SERVER_UID", "1001"}});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "forged");
    EXPECT_GT(squatter.Next(), 64);
    EXPECT_EQ(Client(name, {{"ZORVA_SERVER_UID", "10x"}}).status, 2);
}

// ---------------------------------------------------------------------------

using Activation = Guard;

TEST_F(Activation, DaemonServesThePassedSocketAndRefusesOneWithAnotherName)
{
    const std::string name = UniqueName("act");
    // The service manager's stand-in holds the name: a daemon that bound it
    // itself would fail, so an answer means it served the passed socket.
    load::Daemon daemon(name, {"systemd-socket-activate", "-l", "@" + name, "-E", "DS_MINIO_UDS_NAME"});
    ASSERT_TRUE(daemon.WaitListening());
    EXPECT_TRUE(Answered(name)) << daemon.Out() << daemon.Err();
    EXPECT_TRUE(Answered(name, 3)) << "the same daemon serves on";
    EXPECT_EQ(Client(name).status, 0) << "the manager (root) made the socket listen";
    EXPECT_EQ(daemon.Err().find("][Error]["), std::string::npos) << daemon.Err();

    // Bound to another name than DS_MINIO_UDS_NAME: refused at start.
    const std::string other = UniqueName("act-other");
    auto run = std::async(std::launch::async, [&] {
        return e2e::RunProgram({"/usr/bin/systemd-socket-activate", "-l", "@" + other, "-E", "DS_MINIO_UDS_NAME",
                                e2e::BinPath("uds_decrypt_server")},
                               e2e::WithEnv({{"DS_MINIO_UDS_NAME", "@" + name + "-x"}}));
    });
    for (int i = 0; i < 500 && !e2e::AbstractNameListening(other); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    // The stand-in starts the daemon at the first connection.
    EXPECT_EQ(e2e::Talk(other, e2e::Frame(secrets_[0].cipher)).response, "");
    const e2e::Outcome refused = run.get();
    EXPECT_EQ(refused.status, 255);
    EXPECT_TRUE(std::regex_search(refused.err, std::regex(R"(\]\[Error\]\[BrimTakePassedSocket\]\[\d+\]Passed socket is not a listening unix stream socket named by DS_MINIO_UDS_NAME\.\n.*\]\[Error\]\[main\]\[\d+\]Failed create init server\.\n)")))
        << refused.err;
}

// ---------------------------------------------------------------------------

using Held = Guard;

TEST_F(Held, IdleAndDrippingConnectionsDelayNobodyAndAFullTableMakesRoom)
{
    load::Daemon daemon(UniqueName("held"));
    ASSERT_TRUE(daemon.WaitListening());
    const auto firstIdle = Clock::now();
    const auto holders = HoldConnections(daemon.name(), 64, 6);
    ASSERT_EQ(holders->Next(), 70);
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(Answered(daemon.name(), static_cast<size_t>(i))) << i;
    }
    EXPECT_LT(Clock::now() - firstIdle, 5s) << "answered before the first idle connection's 5-second deadline";
    EXPECT_EQ(daemon.Out(), "") << "no connection was dropped meanwhile";

    // More connections than the table holds: the longest waiting make room.
    const auto more = HoldConnections(daemon.name(), 200, 0);
    ASSERT_EQ(more->Next(), 200);
    EXPECT_TRUE(Answered(daemon.name()));
    EXPECT_TRUE(std::regex_search(daemon.Out(), std::regex(R"(\]\[Warn\]\[StartServer\]\[\d+\]Closed \{\d+\} connections to make room for new ones\.\n)")))
        << daemon.Out();

    // The rest run into their deadline: silent ones in the head, the
    // dripping ones (one byte in) in the data.
    std::this_thread::sleep_for(5500ms);
    EXPECT_NE(daemon.Out().find("]Failed recv msghead from client, ret{-1}.\n"), std::string::npos);
    EXPECT_NE(daemon.Out().find("]Failed recv from client, ret{-1}.\n"), std::string::npos) << daemon.Out();
    EXPECT_TRUE(Answered(daemon.name()));
}

// ---------------------------------------------------------------------------

using Flood = Guard;

TEST_F(Flood, TenThousandRefusalsMakeAFewLinesAndLeaveTheDaemonLevel)
{
    constexpr long kRefused = 10000;
    load::Daemon daemon(UniqueName("flood"));
    ASSERT_TRUE(daemon.WaitListening());
    ASSERT_TRUE(Answered(daemon.name()));
    const load::Usage before = load::UsageOf(daemon.pid());

    Child flood(kOtherUid, [&daemon](int report) {
        long connected = 0;
        for (long i = 0; i < kRefused; ++i) {
            const int fd = Connect(daemon.name());
            if (fd >= 0) {
                ++connected;
                char byte;
                (void)recv(fd, &byte, 1, 0); // until the daemon closes it
                close(fd);
            }
        }
        Report(report, connected);
    });
    ASSERT_EQ(flood.Next(), kRefused);
    std::this_thread::sleep_for(1200ms); // the last interval's count

    // Every refusal is accounted for: shown one by one or counted.
    const std::string out = daemon.Out();
    const std::regex shown(R"(\]\[Warn\]\[BrimGetRequest\]\[\d+\]connect from unallow client uid\{1001\}\.\n)");
    const std::regex counted(R"(\]\[Warn\]\[BrimGetRequest\]\[\d+\]\{(\d+)\} more connects from unallow client uid\{1001\} not shown\.\n)");
    long total = 0;
    size_t lines = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), shown); it != std::sregex_iterator(); ++it) {
        ++total;
        ++lines;
    }
    for (auto it = std::sregex_iterator(out.begin(), out.end(), counted); it != std::sregex_iterator(); ++it) {
        total += std::stol((*it)[1]);
        ++lines;
    }
    EXPECT_EQ(total, kRefused);
    EXPECT_LE(lines, 40u) << out;
    EXPECT_EQ(Count(out, "\n"), lines) << "nothing else was logged";

    ASSERT_TRUE(Answered(daemon.name()));
    const load::Usage after = load::UsageOf(daemon.pid());
    EXPECT_EQ(after.fds, before.fds);
    if (!e2e::kSanitized) {
        EXPECT_LE(after.rssKb - before.rssKb, 512) << "resident memory grew";
    }
}

// ---------------------------------------------------------------------------

using Exhaustion = Guard;

TEST_F(Exhaustion, OutOfDescriptorsTheDaemonDoesNotSpinAndServesWhenTheyComeBack)
{
    load::Daemon daemon(UniqueName("nofile"));
    ASSERT_TRUE(daemon.WaitListening());
    auto held = HoldConnections(daemon.name(), 40, 0);
    ASSERT_EQ(held->Next(), 40);
    // Far below what is open now: every accept fails with EMFILE.
    const std::string pid = std::to_string(daemon.pid());
    ASSERT_EQ(e2e::RunProgram({"/usr/bin/prlimit", "--pid", pid, "--nofile=16:16"}).status, 0);

    const long cpuBefore = CpuTicks(daemon.pid());
    auto more = HoldConnections(daemon.name(), 40, 0);
    ASSERT_EQ(more->Next(), 40) << "connections are still accepted";
    std::this_thread::sleep_for(2s);
    const long spent = CpuTicks(daemon.pid()) - cpuBefore;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 4) << "a quarter of the 2 s at most";

    // The descriptors come back as the connections go; the limit stays low.
    held.reset();
    more.reset();
    bool answered = false;
    for (int i = 0; i < 50 && !(answered = Answered(daemon.name())); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(answered) << daemon.Out() << daemon.Err();
    EXPECT_TRUE(daemon.Running());
    const size_t acceptLines = Count(daemon.Out(), "][Warn][StartServer]") - Count(daemon.Out(), "to make room");
    EXPECT_GE(acceptLines, 1u);
    EXPECT_LE(acceptLines, 4u) << daemon.Out();
}

// ---------------------------------------------------------------------------

using Audit = Guard;

TEST_F(Audit, OneLinePerAnswerWithPeerAndKeyNeverTheSecret)
{
    setenv("ZORVA_AUDIT", "1", 1);
    load::Daemon daemon(UniqueName("audit"));
    unsetenv("ZORVA_AUDIT");
    ASSERT_TRUE(daemon.WaitListening());
    const load::Secret &s = secrets_[1];
    ASSERT_TRUE(Answered(daemon.name(), 1));
    EXPECT_EQ(e2e::Talk(daemon.name(), e2e::Frame("bm90IGEgY2lwaGVy")).response, "");
    const std::string out = daemon.Out();
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[[^\]]+\]\[Info\]\[StartServer\]\[\d+\]answered pid\{\d+\} uid\{1000\} )"
                                                 R"(exe\{[^{}\n]*/daemon_guard_test\} domain\{9\} key\{1\} length\{)" +
                                                 std::to_string(s.plain.size()) + R"(\}\.\n)")))
        << out << "\none line, for the answered request only";
    EXPECT_EQ(out.find(s.plain), std::string::npos);
    EXPECT_EQ(out.find(s.cipher.substr(16, 16)), std::string::npos);
}

using ToolWarning = Guard;

TEST_F(ToolWarning, SecretTooLongForTheDaemonIsEncryptedWithAWarningOnStandardError)
{
    const auto encrypt = [](const std::string &secret) {
        return e2e::RunProgram({e2e::BinPath("encrypt_tool"), "encrpyt", "GUARD_SECRET"},
                               e2e::WithEnv({{"GUARD_SECRET", secret}}));
    };
    const e2e::Outcome fits = encrypt(std::string(960, 'w'));
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.err, "");
    const e2e::Outcome tooLong = encrypt(std::string(961, 'w'));
    EXPECT_EQ(tooLong.status, 0);
    EXPECT_TRUE(std::regex_match(tooLong.out, std::regex("cipher_text:[A-Za-z0-9+/]+=*")));
    EXPECT_TRUE(std::regex_match(tooLong.err, std::regex(R"(\[[^\]]+\]\[Warn\]\[main\]\[\d+\]the daemon cannot return a secret of 961 bytes; at most 960\n)")))
        << tooLong.err;
}

} // namespace
