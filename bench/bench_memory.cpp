// Checked copies and fills against the plain calls, per size.
#include "bounded.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr long kSizes[] = {1, 8, 16, 32, 64, 256, 4096, 65536};

template <typename Fn>
void RunCopy(benchmark::State &state, Fn fn)
{
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> src(n, 1);
    std::vector<unsigned char> dst(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        fn(dst.data(), n, src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

template <typename Fn>
void RunFill(benchmark::State &state, Fn fn)
{
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> dst(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(dst.data());
        fn(dst.data(), n, 0, n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// The size is only known at run time, so the plain calls stay calls.
void BM_memcpy(benchmark::State &s) { RunCopy(s, [](void *d, size_t, const void *src, size_t n) { std::memcpy(d, src, n); }); }
void BM_memcpy_s(benchmark::State &s) { RunCopy(s, memcpy_s); }
void BM_memcpy_sOptAsm(benchmark::State &s) { RunCopy(s, memcpy_sOptAsm); }
void BM_memcpy_sOptTc(benchmark::State &s) { RunCopy(s, memcpy_sOptTc); }
void BM_memset(benchmark::State &s) { RunFill(s, [](void *d, size_t, int c, size_t n) { std::memset(d, c, n); }); }
void BM_memset_s(benchmark::State &s) { RunFill(s, memset_s); }
void BM_memset_sOptAsm(benchmark::State &s) { RunFill(s, memset_sOptAsm); }
void BM_memset_sOptTc(benchmark::State &s) { RunFill(s, memset_sOptTc); }

void Sizes(benchmark::internal::Benchmark *b)
{
    for (long n : kSizes) {
        b->Arg(n);
    }
}

BENCHMARK(BM_memcpy)->Apply(Sizes);
BENCHMARK(BM_memcpy_s)->Apply(Sizes);
BENCHMARK(BM_memcpy_sOptAsm)->Apply(Sizes);
BENCHMARK(BM_memcpy_sOptTc)->Apply(Sizes);
BENCHMARK(BM_memset)->Apply(Sizes);
BENCHMARK(BM_memset_s)->Apply(Sizes);
BENCHMARK(BM_memset_sOptAsm)->Apply(Sizes);
BENCHMARK(BM_memset_sOptTc)->Apply(Sizes);

} // namespace
