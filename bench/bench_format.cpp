// sprintf_s against snprintf (and {fmt}'s format_to_n) on the formatting
// the programs do: console-log lines, a digest rendered as hex one byte per
// call, integers, strings and a fixed-point float.
#include "bounded.h"

#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#ifdef ZORVA_BENCH_WITH_FMT
#include <fmt/format.h>
#endif

namespace {

// Through a pointer, so the compiler cannot turn a constant format into
// strcpy or fold it away: every column pays for a real formatting call.
int (*volatile g_snprintf)(char *, size_t, const char *, ...) = std::snprintf;

constexpr size_t kValues = 1024;

const std::vector<int> &RandomInts()
{
    static const std::vector<int> v = [] {
        std::mt19937 rng(1);
        std::vector<int> out(kValues);
        for (auto &x : out) {
            x = static_cast<int>(rng());
        }
        return out;
    }();
    return v;
}

const std::vector<double> &RandomDoubles()
{
    static const std::vector<double> v = [] {
        std::mt19937 rng(2);
        std::uniform_real_distribution<double> d(-100000.0, 100000.0);
        std::vector<double> out(kValues);
        for (auto &x : out) {
            x = d(rng);
        }
        return out;
    }();
    return v;
}

const unsigned char kDigest[32] = {0x9f, 0x86, 0xd0, 0x81, 0x88, 0x4c, 0x7d, 0x65, 0x9a, 0x2f, 0xea,
                                   0xa0, 0xc5, 0x5a, 0xd0, 0x15, 0xa3, 0xbf, 0x4f, 0x1b, 0x2b, 0x0b,
                                   0x82, 0x2c, 0xd1, 0x5d, 0x6c, 0x15, 0xb0, 0xf0, 0x0a, 0x08};

// The console log's prefix (time, level, function, line) and a message.
struct LogLine {
    const char *time = "2026-12-07 11:04:59";
    const char *level = "ERROR";
    const char *function = "BrimDecrypt";
    int line = 231;
    int code = -10005;
    unsigned length = 2047;
};

enum class Impl { kSprintfS, kSnprintf, kFmt };

// One formatting call through the implementation under test; the {fmt}
// column gets the same text in its own syntax.
template <Impl I, typename... Args>
int FormatWith(char *buf, size_t n, const char *printfFormat, [[maybe_unused]] const char *fmtFormat, Args... args)
{
    if constexpr (I == Impl::kSprintfS) {
        return sprintf_s(buf, n, printfFormat, args...);
    } else if constexpr (I == Impl::kSnprintf) {
        return g_snprintf(buf, n, printfFormat, args...);
    } else {
#ifdef ZORVA_BENCH_WITH_FMT
        auto r = fmt::format_to_n(buf, n - 1, fmt::runtime(fmtFormat), args...);
        *r.out = '\0';
        return static_cast<int>(r.size);
#else
        return -1;
#endif
    }
}

template <Impl I>
int FormatLog(char *buf, size_t n, const LogLine &l)
{
    return FormatWith<I>(buf, n, "[%s][%s][%s][%d]decrypt failed, ret %d, len %u",
                         "[{}][{}][{}][{}]decrypt failed, ret {}, len {}", l.time, l.level, l.function, l.line,
                         l.code, l.length);
}

template <Impl I>
void BM_LogLine(benchmark::State &state)
{
    char buf[512];
    LogLine l;
    for (auto _ : state) {
        benchmark::DoNotOptimize(l);
        benchmark::DoNotOptimize(FormatLog<I>(buf, sizeof buf, l));
        benchmark::ClobberMemory();
    }
}

template <Impl I>
int FormatHexByte(char *buf, size_t n, unsigned b)
{
    return FormatWith<I>(buf, n, "%02x", "{:02x}", b);
}

// 32 calls per iteration, as the key file's digest is rendered.
template <Impl I>
void BM_DigestHex(benchmark::State &state)
{
    char hex[65];
    for (auto _ : state) {
        for (size_t i = 0; i < 32; ++i) {
            FormatHexByte<I>(hex + 2 * i, sizeof hex - 2 * i, kDigest[i]);
        }
        benchmark::DoNotOptimize(hex);
        benchmark::ClobberMemory();
    }
}

template <Impl I>
void BM_Int(benchmark::State &state)
{
    const auto &values = RandomInts();
    char buf[32];
    size_t i = 0;
    for (auto _ : state) {
        const int v = values[i++ % kValues];
        benchmark::DoNotOptimize(FormatWith<I>(buf, sizeof buf, "%d", "{}", v));
        benchmark::ClobberMemory();
    }
}

template <Impl I>
void BM_String(benchmark::State &state)
{
    const std::string text(static_cast<size_t>(state.range(0)), 's');
    const char *s = text.c_str();
    char buf[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(FormatWith<I>(buf, sizeof buf, "%s", "{}", s));
        benchmark::ClobberMemory();
    }
}

template <Impl I>
void BM_Fixed3(benchmark::State &state)
{
    const auto &values = RandomDoubles();
    char buf[64];
    size_t i = 0;
    for (auto _ : state) {
        const double v = values[i++ % kValues];
        benchmark::DoNotOptimize(FormatWith<I>(buf, sizeof buf, "%.3f", "{:.3f}", v));
        benchmark::ClobberMemory();
    }
}

#define ZORVA_BENCH_ALL(fn, ...)                                                                                       \
    BENCHMARK(fn<Impl::kSprintfS>)->Name(#fn "/sprintf_s") __VA_ARGS__;                                             \
    BENCHMARK(fn<Impl::kSnprintf>)->Name(#fn "/snprintf") __VA_ARGS__;

ZORVA_BENCH_ALL(BM_LogLine)
ZORVA_BENCH_ALL(BM_DigestHex)
ZORVA_BENCH_ALL(BM_Int)
ZORVA_BENCH_ALL(BM_String, ->Arg(16)->Arg(200))
ZORVA_BENCH_ALL(BM_Fixed3)
#ifdef ZORVA_BENCH_WITH_FMT
BENCHMARK(BM_LogLine<Impl::kFmt>)->Name("BM_LogLine/fmt_format_to_n");
BENCHMARK(BM_DigestHex<Impl::kFmt>)->Name("BM_DigestHex/fmt_format_to_n");
BENCHMARK(BM_Int<Impl::kFmt>)->Name("BM_Int/fmt_format_to_n");
BENCHMARK(BM_String<Impl::kFmt>)->Name("BM_String/fmt_format_to_n")->Arg(16)->Arg(200);
BENCHMARK(BM_Fixed3<Impl::kFmt>)->Name("BM_Fixed3/fmt_format_to_n");
#endif

} // namespace
