// Sealing and unsealing a 32-byte secret through the ESAPI against swtpm on
// a Unix socket. Each call connects, creates the storage primary, works in a
// salted session and flushes everything, as the key store's calls do; the
// figures are what the first request of a process pays for a tpm2 slot.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "protect/tpm2/tpm2_seal.h"
#include "swtpm_instance.h"

namespace {

using zorv::tpm2::Status;

zorva_test::Swtpm &Tpm()
{
    static zorva_test::Swtpm tpm;
    return tpm;
}

bool Ready(benchmark::State &state)
{
    if (!Tpm().Ready()) {
        state.SkipWithError(Tpm().Error().c_str());
        return false;
    }
    return true;
}

constexpr std::array<std::uint8_t, 32> kSecret{1, 2, 3, 4, 5, 6, 7, 8};

void BM_Seal(benchmark::State &state)
{
    if (!Ready(state)) {
        return;
    }
    zorva_test::ScopedTcti use(Tpm().Tcti());
    const auto mask = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> blob;
    for (auto _ : state) {
        if (zorv::tpm2::Seal(kSecret, mask, blob) != Status::ok) {
            state.SkipWithError("seal failed");
            break;
        }
    }
}
BENCHMARK(BM_Seal)->ArgName("pcrMask")->Arg(0)->Arg(1 << 7)->Unit(benchmark::kMillisecond);

void BM_Unseal(benchmark::State &state)
{
    if (!Ready(state)) {
        return;
    }
    zorva_test::ScopedTcti use(Tpm().Tcti());
    std::vector<std::uint8_t> blob;
    if (zorv::tpm2::Seal(kSecret, static_cast<std::uint32_t>(state.range(0)), blob) != Status::ok) {
        state.SkipWithError("seal failed");
        return;
    }
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        if (zorv::tpm2::Unseal(blob, secret) != Status::ok) {
            state.SkipWithError("unseal failed");
            break;
        }
    }
}
BENCHMARK(BM_Unseal)->ArgName("pcrMask")->Arg(0)->Arg(1 << 7)->Unit(benchmark::kMillisecond);

} // namespace
