// The daemon with several clients and with connections that hold it: one
// fresh connection per request, 32-byte secret, measured side by side in one
// run for
//   BM_Floor          a trivial server of the same shape (accept, two
//                     receives, one send, close): the bare-connection floor;
//   BM_Baseline       another build's uds_decrypt_server, named by the
//                     environment variable ZORVA_BENCH_BASELINE (skipped
//                     without it), e.g. one built from the main branch;
//   BM_Daemon         this build's daemon, with 1 and with 4 clients;
//   BM_DaemonHeld     this build's daemon while 58 idle connections and 6
//                     that drip one byte every 4 s stay open (reopened as the
//                     daemon closes them; 64 is one process's share of
//                     places), for its latency percentiles;
//   BM_DaemonChurned  this build's daemon while one process keeps 300
//                     connections open and reopens each one the daemon
//                     closes, for the latency of the other clients.
//
// Needs root and a throw-away /etc (it creates a key store at the fixed
// paths); the clients run with effective user id 1000:
//   ZORVA_BENCH_BASELINE=/path/to/other/bin/uds_decrypt_server
//   tests/isolated.sh build/bin/bench_daemon_clients
//       --benchmark_enable_random_interleaving=true --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "load_support.h"
#include "processes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uid_t kClientUid = 1000;
constexpr int kIdleConnections = 58;
constexpr int kChurnedConnections = 300;
constexpr int kDripConnections = 6;
constexpr auto kDripEvery = std::chrono::seconds(4);

using e2e::BinPath;
using e2e::Isolated;
using e2e::kPrimary;
using e2e::kStandby;

struct sockaddr_un Address(const std::string &abstractName, socklen_t *len)
{
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, abstractName.data(), abstractName.size());
    *len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + abstractName.size());
    return addr;
}

int Connect(const std::string &abstractName)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t len = 0;
    const struct sockaddr_un addr = Address(abstractName, &len);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Keeps kIdleConnections silent connections and kDripConnections that send
// one byte every kDripEvery open to the daemon, opening a new one whenever
// the daemon closes one. Runs as user id 1000 until its parent ends.
[[noreturn]] void HoldConnections(const std::string &abstractName)
{
    const pid_t parent = getppid();
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO); // the benchmark's output ends with the benchmark
    dup2(null, STDERR_FILENO);
    if (setgroups(0, nullptr) != 0 || setgid(kClientUid) != 0 || setuid(kClientUid) != 0) {
        _exit(121);
    }
    // After the change of user: changing credentials clears the setting.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(0);
    }
    struct Held {
        int fd = -1;
        bool drips = false;
        Clock::time_point nextDrip;
    };
    std::vector<Held> held(kIdleConnections + kDripConnections);
    for (size_t i = 0; i < held.size(); ++i) {
        held[i].drips = i >= static_cast<size_t>(kIdleConnections);
    }
    for (;;) {
        const auto now = Clock::now();
        std::vector<struct pollfd> watch;
        for (Held &h : held) {
            if (h.fd < 0) {
                h.fd = Connect(abstractName);
                h.nextDrip = now + kDripEvery;
            }
            if (h.drips && h.fd >= 0 && now >= h.nextDrip) {
                (void)send(h.fd, "d", 1, MSG_NOSIGNAL);
                h.nextDrip = now + kDripEvery;
            }
            watch.push_back({h.fd, POLLIN, 0});
        }
        if (poll(watch.data(), watch.size(), 100) > 0) {
            char sink[64];
            for (size_t i = 0; i < held.size(); ++i) {
                if (watch[i].revents != 0 && recv(held[i].fd, sink, sizeof(sink), MSG_DONTWAIT) <= 0) {
                    close(held[i].fd); // the daemon closed it: open another
                    held[i].fd = -1;
                }
            }
        }
    }
}

pid_t StartDaemon(const std::string &program, const std::string &abstractName)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // goes with the benchmark, whatever its user id by then
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        setenv("DS_MINIO_UDS_NAME", ("@" + abstractName).c_str(), 1);
        execl(program.c_str(), "uds_decrypt_server", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !e2e::AbstractNameListening(abstractName); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return e2e::AbstractNameListening(abstractName) ? pid : -1;
}

struct Environment {
    std::string error;
    std::string floor, daemon, held, churned, baseline; // abstract names; baseline empty when not given
    std::string cipher;
};

Environment Prepare()
{
    Environment env;
    if (geteuid() != 0 || !Isolated()) {
        env.error = "needs root in a throw-away namespace: tests/isolated.sh build/bin/bench_daemon_clients";
        return env;
    }
    unlink(kPrimary.c_str());
    unlink(kStandby.c_str());
    const e2e::Outcome created =
        e2e::RunProgram({BinPath("zorvm_keytool"), "create", "--primary", kPrimary, "--standby", kStandby});
    if (created.status != 0) {
        env.error = "zorvm_keytool create failed";
        return env;
    }
    const e2e::Outcome tool = e2e::RunProgram({BinPath("encrypt_tool"), "encrpyt", "BENCH_SECRET"},
                                              e2e::WithEnv({{"BENCH_SECRET", std::string(32, 's')}}));
    if (tool.status != 0 || tool.out.rfind("cipher_text:", 0) != 0) {
        env.error = "encrypt_tool failed";
        return env;
    }
    env.cipher = tool.out.substr(12);

    const std::string tag = std::to_string(getpid());
    env.daemon = "zorva-bench-clients-" + tag;
    env.held = "zorva-bench-held-" + tag;
    env.churned = "zorva-bench-churned-" + tag;
    const std::string server = BinPath("uds_decrypt_server");
    if (StartDaemon(server, env.daemon) < 0 || StartDaemon(server, env.held) < 0 ||
        StartDaemon(server, env.churned) < 0) {
        env.error = "the daemon did not start";
        return env;
    }
    if (const char *baseline = getenv("ZORVA_BENCH_BASELINE"); baseline != nullptr && *baseline != '\0') {
        env.baseline = "zorva-bench-baseline-" + tag;
        if (StartDaemon(baseline, env.baseline) < 0) {
            env.error = std::string("the baseline daemon did not start: ") + baseline;
            return env;
        }
    }
    if (fork() == 0) {
        HoldConnections(env.held);
    }
    static const load::Churner churner(env.churned, kChurnedConnections); // ends with this process

    env.floor = "zorva-bench-clients-floor-" + tag;
    const int floorFd = socket(AF_UNIX, SOCK_STREAM, 0);
    socklen_t len = 0;
    const struct sockaddr_un addr = Address(env.floor, &len);
    if (bind(floorFd, reinterpret_cast<const sockaddr *>(&addr), len) != 0 || listen(floorFd, 256) != 0) {
        env.error = "the floor server did not start";
        return env;
    }
    std::thread(e2e::FloorServer, floorFd).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the held connections are open

    // The clients of the benchmarks run as user id 1000 (the effective id is
    // what the daemon sees).
    if (setegid(kClientUid) != 0 || seteuid(kClientUid) != 0) {
        env.error = "cannot switch to user id 1000";
    }
    return env;
}

const Environment &Env()
{
    static const Environment env = Prepare();
    return env;
}

// Set up before any benchmark runs, on the main thread: the daemons and the
// holder end with the thread that forked them (PR_SET_PDEATHSIG), and the
// threads of a multi-client benchmark end with it.
[[maybe_unused]] const bool kPrepared = (Env(), true);

// One request on a fresh connection; true when a complete answer came back.
bool OneRequest(const std::string &abstractName, const std::string &frame, size_t expectedLen)
{
    const int fd = Connect(abstractName);
    bool ok = fd >= 0 && send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    size_t got = 0;
    char buf[2048];
    for (ssize_t n; ok && (n = recv(fd, buf, sizeof(buf), 0)) > 0;) {
        got += static_cast<size_t>(n);
    }
    if (fd >= 0) {
        close(fd);
    }
    return ok && got == expectedLen;
}

double Percentile(std::vector<double> &samples, double fraction)
{
    if (samples.empty()) {
        return 0;
    }
    const size_t at = std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(at), samples.end());
    return samples[at];
}

void Drive(benchmark::State &state, const std::string &abstractName, const std::string &data)
{
    const Environment &env = Env();
    if (!env.error.empty() || abstractName.empty()) {
        state.SkipWithError(env.error.empty() ? "ZORVA_BENCH_BASELINE not set" : env.error.c_str());
        return;
    }
    const std::string frame = std::string(64, '\0') + data;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    size_t failures = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        failures += OneRequest(abstractName, frame, 64 + 32) ? 0 : 1;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["p50_us"] = benchmark::Counter(Percentile(micros, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(Percentile(micros, 0.99), benchmark::Counter::kAvgThreads);
    state.counters["max_us"] = benchmark::Counter(Percentile(micros, 1.0), benchmark::Counter::kAvgThreads);
    state.counters["failed"] = benchmark::Counter(static_cast<double>(failures));
}

void BM_Floor(benchmark::State &state) { Drive(state, Env().floor, std::string(Env().cipher.size(), 'c')); }
void BM_Baseline(benchmark::State &state) { Drive(state, Env().baseline, Env().cipher); }
void BM_Daemon(benchmark::State &state) { Drive(state, Env().daemon, Env().cipher); }
void BM_DaemonHeld(benchmark::State &state) { Drive(state, Env().held, Env().cipher); }
void BM_DaemonChurned(benchmark::State &state) { Drive(state, Env().churned, Env().cipher); }

BENCHMARK(BM_Floor)->Threads(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Baseline)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Daemon)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0);
// Long enough to cross the held connections' 5-second turnover.
BENCHMARK(BM_DaemonHeld)->Threads(1)->UseRealTime()->MinTime(6.0);
BENCHMARK(BM_DaemonChurned)->Threads(1)->Threads(4)->UseRealTime()->MinTime(3.0);

} // namespace
