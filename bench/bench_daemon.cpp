// Requests per second and latency of uds_decrypt_server, one fresh
// connection per request, with one and with four clients, beside the floor:
// the same connect, send, receive and close against a trivial server on the
// same kind of socket. Also the decrypt front alone (no socket) and the wall
// time of one encrypt_tool run.
//
// The daemon writes its metrics file (ZORVA_METRICS_FILE, in a folder of its
// own) as a service would. BM_Baseline runs another build's daemon, named by
// ZORVA_BENCH_BASELINE (skipped without it), on the same store and requests,
// for a comparison within one run:
//   ZORVA_BENCH_BASELINE=/path/to/other/bin/uds_decrypt_server
//   tests/isolated.sh build/bin/bench_daemon --benchmark_enable_random_interleaving=true
//
// Store-size axis (keys:1 and keys:51): a fresh store, one key per domain,
// and the same store after 50 `rotate --all`, 51 keys per domain. Each is
// put in place at the fixed paths before the benchmarks that use it; the
// cipher texts are made under that store's active key.
//
// Needs root and a throw-away /etc (it creates a key store at the fixed
// paths): run it as   tests/isolated.sh build/bin/bench_daemon
// The clients run with effective user id 1000, as the daemon requires.
#include "agent_calls.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "processes.h"
#include "softhsm_token.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uid_t kClientUid = 1000;

using e2e::BinPath;
using e2e::Isolated;
using e2e::kPrimary;
using e2e::kStandby;
using e2e::ReadFile;

// Runs argv with extra environment, as root; its standard output. Leaner
// than e2e::RunProgram (a pipe, no files), as BM_EncryptToolRun times it.
std::string RunCapture(std::vector<std::string> argv, const std::vector<std::string> &env, int *status)
{
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        for (const auto &e : env) {
            putenv(const_cast<char *>(e.c_str()));
        }
        std::vector<char *> words;
        for (auto &w : argv) {
            words.push_back(w.data());
        }
        words.push_back(nullptr);
        execv(words[0], words.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof(chunk))) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return text;
}

struct sockaddr_un Address(const std::string &abstractName, socklen_t *len)
{
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, abstractName.data(), abstractName.size());
    *len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + abstractName.size());
    return addr;
}

// The two store sizes of the axis, and how many `rotate --all` make each.
constexpr int kStoreSizes[] = {1, 51};

struct Store {
    std::string primaryBytes, standbyBytes;
    std::string cipher32, cipher960;
};

struct Environment {
    std::string error;
    std::string daemonName, floorName, baselineName; // baselineName empty without one
    Store stores[std::size(kStoreSizes)]; // host slot stores, one per size
    Store builtin;                        // a format-1 store and one of its cipher texts
    Store pkcs11;                         // a store whose one slot is a key on a SoftHSM2 token
    std::string pkcs11Missing;            // why there is none
};

std::string Base64(const std::string &raw)
{
    std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(raw.data()), static_cast<int>(raw.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

int StoreIndex(int64_t keys)
{
    for (size_t i = 0; i < std::size(kStoreSizes); ++i) {
        if (kStoreSizes[i] == keys) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Replaces path with bytes by rename, mode 0600, as the keytool does.
bool Install(const std::string &path, const std::string &bytes)
{
    const std::string temp = path + ".bench";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out.good() && chmod(temp.c_str(), 0600) == 0 && rename(temp.c_str(), path.c_str()) == 0;
}

// Puts the store of the given size at the fixed paths. Runs as root and
// returns to user id 1000.
bool UseStore(const Store &store)
{
    if (seteuid(0) != 0 || setegid(0) != 0) {
        return false;
    }
    const bool ok = Install(kStandby, store.standbyBytes) && Install(kPrimary, store.primaryBytes);
    return setegid(kClientUid) == 0 && seteuid(kClientUid) == 0 && ok;
}

// Starts a daemon on abstractName (with metrics into metricsFile unless
// empty) that ends with this process; true once it listens.
bool StartDaemon(const std::string &program, const std::string &abstractName, const std::string &metricsFile)
{
    const pid_t daemon = fork();
    if (daemon == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // goes with the benchmark, whatever its user id by then
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        setenv("DS_MINIO_UDS_NAME", ("@" + abstractName).c_str(), 1);
        if (!metricsFile.empty()) {
            setenv("ZORVA_METRICS_FILE", metricsFile.c_str(), 1);
        }
        execl(program.c_str(), "uds_decrypt_server", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !e2e::AbstractNameListening(abstractName); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return e2e::AbstractNameListening(abstractName);
}

Environment Prepare()
{
    Environment env;
    if (geteuid() != 0 || !Isolated()) {
        env.error = "needs root in a throw-away namespace: tests/isolated.sh build/bin/bench_daemon";
        return env;
    }
    int status = 0;
    unlink(kPrimary.c_str());
    unlink(kStandby.c_str());
    RunCapture({BinPath("zorvm_keytool"), "create", "--primary", kPrimary, "--standby", kStandby}, {}, &status);
    if (status != 0) {
        env.error = "zorvm_keytool create failed";
        return env;
    }
    const std::string secret32(32, 's'), secret960(960, 'S');
    int rotations = 1;
    for (size_t i = 0; i < std::size(kStoreSizes); ++i) {
        Store &store = env.stores[i];
        for (; rotations < kStoreSizes[i]; ++rotations) {
            RunCapture({BinPath("zorvm_keytool"), "rotate", "--all", "--primary", kPrimary, "--standby", kStandby}, {},
                       &status);
            if (status != 0) {
                env.error = "zorvm_keytool rotate failed";
                return env;
            }
        }
        for (auto [secret, cipher] : {std::pair{&secret32, &store.cipher32}, std::pair{&secret960, &store.cipher960}}) {
            const std::string out =
                RunCapture({BinPath("encrypt_tool"), "encrpyt", "BENCH_SECRET"}, {"BENCH_SECRET=" + *secret}, &status);
            if (status != 0 || out.rfind("cipher_text:", 0) != 0) {
                env.error = "encrypt_tool failed";
                return env;
            }
            *cipher = out.substr(12);
        }
        store.primaryBytes = ReadFile(kPrimary);
        store.standbyBytes = ReadFile(kStandby);
    }

    env.builtin.primaryBytes = env.builtin.standbyBytes = ReadFile(ZORVA_KEYSTORE_FIXTURES "/format1/zorvm_store.dat");
    env.builtin.cipher32 = Base64(ReadFile(ZORVA_KEYSTORE_FIXTURES "/format1/cipher_key2.bin"));

    // A pkcs11 store at the fixed paths for a moment, for its cipher text.
    const fleettest::SoftHsm &hsm = fleettest::SoftHsm::Get();
    if (!hsm.ready()) {
        env.pkcs11Missing = hsm.why();
    } else {
        RunCapture({BinPath("zorvm_keytool"), "create", "--force", "--primary", kPrimary, "--standby", kStandby,
                    "--protect", "pkcs11", "--generate-kek", "--module", hsm.module(), "--uri", hsm.Uri("bench-kek")},
                   {}, &status);
        const std::string out =
            RunCapture({BinPath("encrypt_tool"), "encrpyt", "BENCH_SECRET"}, {"BENCH_SECRET=" + secret32}, &status);
        if (status != 0 || out.rfind("cipher_text:", 0) != 0) {
            env.pkcs11Missing = "could not make a pkcs11 store";
        } else {
            env.pkcs11.primaryBytes = ReadFile(kPrimary);
            env.pkcs11.standbyBytes = ReadFile(kStandby);
            env.pkcs11.cipher32 = out.substr(12);
        }
    }

    // The benchmarks put different stores (host, pkcs11, format 1) in turn at
    // the one pair of paths: the throw-away host pins none of them, so each
    // loads (create pinned the last one made).
    unlink("/etc/zorva/store");

    env.daemonName = "zorva-bench-daemon-" + std::to_string(getpid());
    char metricsDir[] = "/tmp/zorva-bench-metrics.XXXXXX";
    if (mkdtemp(metricsDir) == nullptr) {
        env.error = "no folder for the metrics file";
        return env;
    }
    const std::string metricsFile = std::string(metricsDir) + "/zorva.prom";
    if (!StartDaemon(BinPath("uds_decrypt_server"), env.daemonName, metricsFile)) {
        env.error = "the daemon did not start";
        return env;
    }
    if (const char *baseline = getenv("ZORVA_BENCH_BASELINE"); baseline != nullptr && *baseline != '\0') {
        env.baselineName = "zorva-bench-baseline-" + std::to_string(getpid());
        if (!StartDaemon(baseline, env.baselineName, "")) {
            env.error = std::string("the baseline daemon did not start: ") + baseline;
            return env;
        }
    }

    env.floorName = "zorva-bench-floor-" + std::to_string(getpid());
    const int floorFd = socket(AF_UNIX, SOCK_STREAM, 0);
    socklen_t len = 0;
    const struct sockaddr_un addr = Address(env.floorName, &len);
    if (bind(floorFd, reinterpret_cast<const sockaddr *>(&addr), len) != 0 || listen(floorFd, 4) != 0) {
        env.error = "the floor server did not start";
        return env;
    }
    std::thread(e2e::FloorServer, floorFd).detach();

    // From here on the clients connect as user id 1000 (the effective id is
    // what the daemon sees); the tool benchmark switches back for its run.
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

// Set up before any benchmark runs, on the main thread: the daemons end with
// the thread that forked them (PR_SET_PDEATHSIG), and with random
// interleaving the first benchmark may run on a thread of its own.
[[maybe_unused]] const bool kPrepared = (Env(), true);

// One request on a fresh connection; true when a complete answer came back.
bool OneRequest(const std::string &abstractName, const std::string &frame, size_t expectedLen)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    socklen_t len = 0;
    const struct sockaddr_un addr = Address(abstractName, &len);
    bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0 &&
              send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    size_t got = 0;
    char buf[2048];
    for (ssize_t n; ok && (n = recv(fd, buf, sizeof(buf), 0)) > 0;) {
        got += static_cast<size_t>(n);
    }
    close(fd);
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

void Drive(benchmark::State &state, const std::string &abstractName, const std::string &data, size_t expectedLen)
{
    const std::string frame = std::string(64, '\0') + data;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    size_t failures = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        failures += OneRequest(abstractName, frame, expectedLen) ? 0 : 1;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations());
    // Per-client percentiles, averaged over the clients.
    state.counters["p50_us"] = benchmark::Counter(Percentile(micros, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(Percentile(micros, 0.99), benchmark::Counter::kAvgThreads);
    state.counters["failed"] = benchmark::Counter(static_cast<double>(failures));
}

void BM_Daemon(benchmark::State &state)
{
    const Environment &env = Env();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    const int store = StoreIndex(state.range(1));
    if (store < 0 || (state.thread_index() == 0 && !UseStore(env.stores[store]))) {
        state.SkipWithError("cannot put the store in place");
        return;
    }
    const bool large = state.range(0) == 960;
    const Store &s = env.stores[store];
    Drive(state, env.daemonName, large ? s.cipher960 : s.cipher32, 64 + static_cast<size_t>(state.range(0)));
}

// The same requests to another build's daemon (ZORVA_BENCH_BASELINE).
void BM_Baseline(benchmark::State &state)
{
    const Environment &env = Env();
    if (!env.error.empty() || env.baselineName.empty()) {
        state.SkipWithError(env.error.empty() ? "ZORVA_BENCH_BASELINE not set" : env.error.c_str());
        return;
    }
    const int store = StoreIndex(state.range(1));
    if (store < 0 || (state.thread_index() == 0 && !UseStore(env.stores[store]))) {
        state.SkipWithError("cannot put the store in place");
        return;
    }
    const bool large = state.range(0) == 960;
    const Store &s = env.stores[store];
    Drive(state, env.baselineName, large ? s.cipher960 : s.cipher32, 64 + static_cast<size_t>(state.range(0)));
}

void BM_Floor(benchmark::State &state)
{
    const Environment &env = Env();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    Drive(state, env.floorName, std::string(static_cast<size_t>(state.range(0)), 'c'), 64 + 32);
}

void BM_EncryptToolRun(benchmark::State &state)
{
    const Environment &env = Env();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    // The key store is readable by root only.
    if (seteuid(0) != 0 || setegid(0) != 0) {
        state.SkipWithError("cannot switch back to root");
        return;
    }
    int status = 0;
    for (auto _ : state) {
        RunCapture({BinPath("encrypt_tool"), "encrpyt", "BENCH_SECRET"}, {"BENCH_SECRET=" + std::string(32, 't')},
                   &status);
        if (status != 0) {
            state.SkipWithError("encrypt_tool failed");
            break;
        }
    }
    (void)!setegid(kClientUid);
    (void)!seteuid(kClientUid);
}

// The daemon's decrypt front alone, in this process: three agent calls
// (initialise, decrypt, finalise) and the copy, without the socket; on the
// stores made here (keys:1 and keys:51, a host slot), on a format-1 store
// (keys:0, the committed fixture under the built-in derivation) and on a
// store whose one slot is a key on a SoftHSM2 token (keys:-1), for comparison
// in one run.
void BM_DecryptFront(benchmark::State &state)
{
    const Environment &env = Env();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    const bool builtin = state.range(0) == 0;
    const bool pkcs11 = state.range(0) == -1;
    const int store = StoreIndex(state.range(0));
    if (pkcs11 && env.pkcs11.cipher32.empty()) {
        state.SkipWithError(env.pkcs11Missing.c_str());
        return;
    }
    const Store &chosen = pkcs11 ? env.pkcs11 : builtin ? env.builtin : env.stores[store < 0 ? 0 : store];
    if ((!builtin && !pkcs11 && store < 0) || !UseStore(chosen)) {
        state.SkipWithError("cannot put the store in place");
        return;
    }
    if (seteuid(0) != 0 || setegid(0) != 0) { // the key store is readable by root only
        state.SkipWithError("cannot switch back to root");
        return;
    }
    const std::string &cipher = chosen.cipher32;
    char out[1024];
    uint32_t plainLen = 0;
    if (pkcs11) {
        // The first request of the process asks the token (module loaded and
        // initialised, login, unwrap); later ones find the secret kept.
        static double firstMs = -1;
        if (firstMs < 0) {
            const auto start = Clock::now();
            if (BrimDecrypt(cipher.c_str(), out, sizeof(out), &plainLen) != 0) {
                state.SkipWithError("BrimDecrypt failed on the pkcs11 store");
            }
            firstMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        state.counters["first_request_ms"] = firstMs;
    }
    for (auto _ : state) {
        if (BrimDecrypt(cipher.c_str(), out, sizeof(out), &plainLen) != 0) {
            state.SkipWithError("BrimDecrypt failed");
            break;
        }
    }
    state.SetLabel(pkcs11 ? "pkcs11 (SoftHSM2)" : builtin ? "builtin" : "host");
    (void)!setegid(kClientUid);
    (void)!seteuid(kClientUid);
}

BENCHMARK(BM_Floor)->Arg(32)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Baseline)
    ->ArgNames({"bytes", "keys"})
    ->Args({32, kStoreSizes[0]})
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_Daemon)
    ->ArgNames({"bytes", "keys"})
    ->ArgsProduct({{32, 960}, {kStoreSizes[0], kStoreSizes[1]}})
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(2.0);
// keys:0 is the format-1 store, keys:-1 the pkcs11 store (one key a domain).
BENCHMARK(BM_DecryptFront)
    ->ArgName("keys")
    ->Arg(0)
    ->Arg(kStoreSizes[0])
    ->Arg(kStoreSizes[1])
    ->Arg(-1)
    ->Arg(0)
    ->Arg(kStoreSizes[0])
    ->Arg(kStoreSizes[1])
    ->Arg(-1)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_EncryptToolRun)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace
