// The daemon with a store that does not load. A cause no retry can mend (the
// host key file gone) is answered at once, request after request; a cause
// that may pass (the TPM out of reach) keeps its three tries, and while a
// request waits between them the daemon goes on with its other connections:
// a refused peer is closed at once.
//
// Needs root and a throw-away /etc (it makes a store at the fixed paths):
//   tests/isolated.sh build/bin/bench_broken_store
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <unistd.h>

#include "processes.h"
#include "swtpm_instance.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace e2e;

const char *const kHostKey = "/etc/zorvm_host.key";

std::string CipherOf(const std::string &plain)
{
    const Outcome o = Encrypt(plain);
    return o.out.rfind("cipher_text:", 0) == 0 ? o.out.substr(12) : std::string();
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// A host store whose host key file is gone: every request fails at once.
void BM_PermanentCauseRequest(benchmark::State &state)
{
    if (!Isolated()) {
        state.SkipWithError("run through tests/isolated.sh");
        return;
    }
    RemoveKeyStore();
    (void)::unlink(kHostKey);
    if (Keytool("create").status != 0) {
        state.SkipWithError("no store");
        return;
    }
    const std::string cipher = CipherOf("broken");
    (void)::rename(kHostKey, "/etc/zorvm_host.key.away");
    const std::string name = "zorva-bench-broken-" + std::to_string(::getpid());
    Daemon daemon("@" + name);
    if (!daemon.WaitListening()) {
        state.SkipWithError("daemon did not start");
        return;
    }
    for (auto _ : state) {
        const Exchange e = Talk(name, Frame(cipher));
        state.SetIterationTime(e.seconds);
        benchmark::DoNotOptimize(e.response);
    }
    (void)::rename("/etc/zorvm_host.key.away", kHostKey);
}

// A TPM store whose TPM is gone: one request waits out its tries; meanwhile
// a peer the daemon refuses (root) is closed, and its time is what counts.
void BM_RefusedWhileARequestWaitsForTheTpm(benchmark::State &state)
{
    if (!Isolated()) {
        state.SkipWithError("run through tests/isolated.sh");
        return;
    }
    auto tpm = std::make_unique<zorva_test::Swtpm>();
    if (!tpm->Ready()) {
        state.SkipWithError(tpm->Error().c_str());
        return;
    }
    ::setenv("ZORVA_TPM2_TCTI", tpm->Tcti().c_str(), 1);
    RemoveKeyStore();
    if (Keytool("create", {"--protect", "tpm2"}).status != 0) {
        state.SkipWithError("no tpm2 store");
        return;
    }
    const std::string cipher = CipherOf("waits for the tpm");
    tpm->Stop();
    const std::string name = "zorva-bench-tpm-" + std::to_string(::getpid());
    Daemon daemon("@" + name);
    if (!daemon.WaitListening()) {
        state.SkipWithError("daemon did not start");
        return;
    }
    double waiting = 0;
    for (auto _ : state) {
        const auto started = Clock::now();
        auto slow = std::async(std::launch::async, [&] { return Talk(name, Frame(cipher)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the first try is over
        const Exchange refused = Talk(name, Frame(cipher), AsUser(0));
        state.SetIterationTime(refused.seconds);
        slow.get();
        waiting += Seconds(started);
    }
    state.counters["failed_request_s"] = benchmark::Counter(waiting / static_cast<double>(state.iterations()));
    ::unsetenv("ZORVA_TPM2_TCTI");
}

} // namespace

BENCHMARK(BM_PermanentCauseRequest)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_RefusedWhileARequestWaitsForTheTpm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
