// The daemon against local processes that try to stand in for it or hold it
// up: a squatter on its name, a socket passed by a service manager, idle and
// dripping connections, a flood of refused peers, and a process out of
// descriptors. Runs through tests/isolated.sh (private /etc, root).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <regex>
#include <set>
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
    const auto holders = HoldConnections(daemon.name(), 58, 6); // one process's whole share
    ASSERT_EQ(holders->Next(), 64);
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(Answered(daemon.name(), static_cast<size_t>(i))) << i;
    }
    EXPECT_LT(Clock::now() - firstIdle, 5s) << "answered before the first idle connection's 5-second deadline";
    EXPECT_EQ(daemon.Out(), "") << "no connection was dropped meanwhile";

    // More connections than the table holds, from four more processes: the
    // longest waiting of the process holding the most make room, once their
    // grace time is over.
    std::vector<std::unique_ptr<Child>> more;
    for (int i = 0; i < 4; ++i) {
        more.push_back(HoldConnections(daemon.name(), 50, 0));
        ASSERT_EQ(more.back()->Next(), 50);
    }
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
    const size_t acceptLines = Count(daemon.Out(), "]Failed accept client.\n");
    EXPECT_GE(acceptLines, 1u);
    EXPECT_LE(acceptLines, 4u) << "at most one a second: " << daemon.Out();
    EXPECT_EQ(daemon.Err().find("]Failed to init zorv"), std::string::npos)
        << "the key store was never opened without a descriptor to spare: " << daemon.Err();
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
    // Under qemu-user the peer's executable is the emulator running this test.
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\[[^\]]+\]\[Info\]\[StartServer\]\[\d+\]answered pid\{\d+\} start\{[1-9]\d*\} uid\{1000\} )"
                                                 R"(exe\{[^{}\n]*/(daemon_guard_test|qemu-[a-z0-9_]+(-static)?)\} domain\{9\} key\{1\} length\{)" +
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

// ---------------------------------------------------------------------------

using Fairness = Guard;

TEST_F(Fairness, OneProcessChurningThreeHundredConnectionsStarvesNoOtherProcess)
{
    load::Daemon daemon(UniqueName("churn"));
    ASSERT_TRUE(daemon.WaitListening());
    load::Churner churner(daemon.name(), 300);
    std::this_thread::sleep_for(300ms); // it holds its share and reopens every connection closed
    std::vector<std::future<bool>> honest;
    for (size_t i = 0; i < 20; ++i) {
        honest.push_back(std::async(std::launch::async, [&, i] {
            const load::Secret &s = secrets_[i % secrets_.size()];
            return e2e::Talk(daemon.name(), e2e::Frame(s.cipher), e2e::SilentFor(20ms)).response ==
                   load::ResponseFor(s.plain);
        }));
    }
    int answered = 0;
    for (auto &h : honest) {
        answered += h.get() ? 1 : 0;
    }
    EXPECT_EQ(answered, 20) << daemon.Out();
    EXPECT_TRUE(std::regex_search(daemon.Out(), std::regex(R"(\]Closed \{\d+\} new connections of processes holding their share of \{64\} places\.\n)")))
        << daemon.Out();
}

// ---------------------------------------------------------------------------

using FailureLines = Guard;

TEST_F(FailureLines, BadRequestsFromOneProcessMakeAFewLinesAndEveryFailureIsCounted)
{
    load::Daemon daemon(UniqueName("badreq"));
    ASSERT_TRUE(daemon.WaitListening());
    Child flood(kClientUid, [&daemon](int report) {
        long sent = 0;
        for (const auto end = Clock::now() + 3s; Clock::now() < end; ++sent) {
            (void)load::Exchange(daemon.name(), e2e::Frame("bm90IGEgY2lwaGVy"));
        }
        Report(report, sent);
    });
    const long sent = flood.Next();
    ASSERT_GT(sent, 0);
    std::this_thread::sleep_for(1200ms); // the last interval's count

    const std::string err = daemon.Err();
    long counted = 0;
    const std::regex notShown(R"(\]\[Error\]\[BrimDecrypt\]\[\d+\]\{(\d+)\} more failed requests of pid\{\d+\} not shown\.\n)");
    for (auto it = std::sregex_iterator(err.begin(), err.end(), notShown); it != std::sregex_iterator(); ++it) {
        counted += std::stol((*it)[1]);
    }
    EXPECT_EQ(static_cast<long>(Count(err, "]Failed to decrypt, ret {")) + counted, sent);
    EXPECT_GT(counted, 0);
    EXPECT_LT(Count(daemon.Out() + err, "\n"), 1000u) << sent << " requests";
}

// ---------------------------------------------------------------------------

TEST_F(Audit, AProgramPathWithLineBreakingCharactersIsLoggedEscaped)
{
    char dir[] = "/tmp/zorva-audit.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    // U+2028 LINE SEPARATOR, U+0085 NEXT LINE, a brace and a newline.
    const std::string program = std::string(dir) + "/client\xE2\x80\xA8\xC2\x85}\n";
    ASSERT_EQ(e2e::RunProgram({"/bin/cp", e2e::BinPath("uds_decrypt_client"), program}).status, 0);
    setenv("ZORVA_AUDIT", "1", 1);
    load::Daemon daemon(UniqueName("escape"));
    unsetenv("ZORVA_AUDIT");
    ASSERT_TRUE(daemon.WaitListening());
    const e2e::Outcome o = e2e::RunProgram({program, secrets_[1].cipher},
                                           e2e::WithEnv({{"DS_MINIO_UDS_NAME", "@" + daemon.name()}}, kClientUid));
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string out = daemon.Out();
    if (out.find("/qemu-") != std::string::npos) {
        GTEST_SKIP() << "under qemu-user the peer's program is the emulator";
    }
    EXPECT_NE(out.find("exe{" + std::string(dir) + "/client\\xe2\\x80\\xa8\\xc2\\x85\\x7d\\x0a} "), std::string::npos)
        << out;
    EXPECT_EQ(Count(out, "\n"), 1u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
}

TEST_F(Audit, APidReusedBeforeTheAnswerIsReported)
{
    setenv("ZORVA_AUDIT", "1", 1);
    load::Daemon daemon(UniqueName("reuse"));
    unsetenv("ZORVA_AUDIT");
    ASSERT_TRUE(daemon.WaitListening());
    int go[2], answer[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(answer), 0);
    const std::string cipher = secrets_[1].cipher;
    // The process that connects sends the head, leaves the connection to
    // its child and ends once the daemon has taken its identity.
    const pid_t first = fork();
    if (first == 0) {
        BecomeUser(kClientUid);
        const int fd = Connect(daemon.name());
        (void)!write(fd, std::string(64, '\0').data(), 64);
        if (fork() == 0) {
            char byte;
            (void)!read(go[0], &byte, 1);
            (void)!write(fd, cipher.data(), cipher.size());
            char reply[2048];
            long got = 0;
            for (ssize_t n; (n = recv(fd, reply, sizeof reply, 0)) > 0;) {
                got += n;
            }
            Report(answer[1], got);
            _exit(0);
        }
        std::this_thread::sleep_for(200ms);
        _exit(0);
    }
    ASSERT_GT(first, 0);
    waitpid(first, nullptr, 0);
    std::this_thread::sleep_for(50ms); // a later clock tick for the next start time
    // Another process under the same pid.
    clone_args args{};
    pid_t wanted = first;
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uintptr_t>(&wanted);
    args.set_tid_size = 1;
    const long second = syscall(SYS_clone3, &args, sizeof args);
    if (second == 0) {
        pause();
        _exit(0);
    }
    (void)!write(go[1], "g", 1);
    long got = -1;
    (void)!read(answer[0], &got, sizeof got);
    if (second > 0) {
        kill(static_cast<pid_t>(second), SIGKILL);
        waitpid(static_cast<pid_t>(second), nullptr, 0);
    }
    for (const int fd : {go[0], go[1], answer[0], answer[1]}) {
        close(fd);
    }
    EXPECT_EQ(got, static_cast<long>(load::ResponseFor(secrets_[1].plain).size()));
    if (second < 0) {
        GTEST_SKIP() << "cannot start a process under a chosen pid here: " << strerror(errno);
    }
    const std::string out = daemon.Out();
    const std::string pid = std::to_string(first);
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[Warn\]\[StartServer\]\[\d+\]pid\{)" + pid +
                                                  R"(\} was reused before its answer: start\{(\d+)\} at accept, start\{\d+\} now\.\n.*\[Info\]\[StartServer\]\[\d+\]answered pid\{)" +
                                                  pid + R"(\} start\{\1\} uid\{1000\} )")))
        << out;
}

// ---------------------------------------------------------------------------

// The exposition format, line by line: HELP and TYPE comments, then samples
// `name{label="value",...} value`, each of a family whose TYPE came first.
// The samples by name and labels as written; empty when a line is not in
// the format.
std::map<std::string, double> ParseExposition(const std::string &text)
{
    static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*")*\})? ([-+]?(?:[0-9.]+(?:e[-+]?[0-9]+)?|Inf|NaN)))");
    static const std::regex type("counter|gauge|histogram|summary|untyped");
    std::map<std::string, double> samples;
    std::set<std::string> families;
    std::istringstream lines(text);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, comment)) {
            if (m[1] == "TYPE" && !std::regex_match(m[3].str(), type)) {
                return {};
            }
            families.insert(m[2]);
        } else if (std::regex_match(line, m, sample)) {
            const std::string name = m[1];
            const bool known = families.count(name) > 0 ||
                               std::any_of(families.begin(), families.end(), [&name](const std::string &f) {
                                   return name == f + "_bucket" || name == f + "_sum" || name == f + "_count";
                               });
            if (!known) {
                return {};
            }
            samples[name + m[2].str()] = std::stod(m[3]);
        } else {
            return {};
        }
    }
    return samples;
}

using Metrics = Guard;

TEST_F(Metrics, TheFileIsInTheExpositionFormatAndCountsWhatWasAsked)
{
    char dir[] = "/tmp/zorva-metrics.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/zorva.prom";
    setenv("ZORVA_METRICS_FILE", file.c_str(), 1);
    load::Daemon daemon(UniqueName("metrics"));
    unsetenv("ZORVA_METRICS_FILE");
    ASSERT_TRUE(daemon.WaitListening());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(Answered(daemon.name(), 1));
    }
    std::string tampered = secrets_[1].cipher;
    char &body = tampered[tampered.size() / 2];
    body = body == 'A' ? 'B' : 'A';
    for (const std::string &bad : {std::string("bm90IGEgY2lwaGVy"), std::string("bm90IGEgY2lwaGVy"), tampered}) {
        EXPECT_EQ(e2e::Talk(daemon.name(), e2e::Frame(bad)).response, "");
    }
    EXPECT_EQ(e2e::Talk(daemon.name(), e2e::Frame(secrets_[0].cipher), e2e::AsUser(kOtherUid)).response, "");
    const int status = daemon.Stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "ended by its signal, as without metrics";

    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::map<std::string, double> m = ParseExposition(e2e::ReadFile(file));
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    ASSERT_FALSE(m.empty()) << "not in the exposition format";
    EXPECT_EQ(m[R"(zorva_requests_total{result="answered"})"], 3);
    EXPECT_EQ(m[R"(zorva_requests_total{result="malformed"})"], 2);
    EXPECT_EQ(m[R"(zorva_requests_total{result="authentication_failed"})"], 1);
    EXPECT_EQ(m[R"(zorva_requests_total{result="refused_peer"})"], 1);
    EXPECT_EQ(m[R"(zorva_requests_total{cause="no_key_store",result="store_unavailable"})"], 0);
    EXPECT_EQ(m[R"(zorva_answered_total{domain="9",key="1"})"], 3);
    EXPECT_EQ(m["zorva_request_duration_seconds_count"], 3);
    EXPECT_EQ(m["zorva_store_loads_total"], 6);
    EXPECT_EQ(m[R"(zorva_store_load_failures_total{cause="unknown"})"], 0);
    EXPECT_GT(m["zorva_store_last_load_success_timestamp_seconds"], 1.6e9);
    EXPECT_EQ(m["zorva_connections_open"], 0);
    EXPECT_EQ(m["zorva_connections_evicted_total"], 0);
}

// ---------------------------------------------------------------------------

using Watchdog = Guard;

TEST_F(Watchdog, PingsReachTheServiceManagerFromTheEventLoop)
{
    const std::string name = UniqueName("notify");
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&addr),
                   static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + name.size())),
              0);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    setenv("WATCHDOG_USEC", "200000", 1);
    load::Daemon daemon(UniqueName("watchdog"));
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    std::vector<std::string> messages;
    for (const auto end = Clock::now() + 1s; Clock::now() < end;) {
        struct pollfd p = {sock, POLLIN, 0};
        char message[256];
        const ssize_t n = poll(&p, 1, 100) > 0 ? recv(sock, message, sizeof message, 0) : 0;
        if (n > 0) {
            messages.emplace_back(message, static_cast<size_t>(n));
        }
    }
    close(sock);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "READY=1"), 1);
    // Every 100 ms for half of 200 ms: about 10 in the second.
    EXPECT_GE(std::count(messages.begin(), messages.end(), "WATCHDOG=1"), 5);
}

} // namespace
