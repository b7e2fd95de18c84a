// Straight-line small copies and fills for the inline variants.
//
// Each size has its own instantiation; the callers pick one through a table
// indexed by the size. Word moves use fixed-size __builtin_memcpy, which the
// compiler turns into single loads and stores without aliasing or alignment
// undefined behaviour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace bounded::detail {

using CopyFn = void (*)(unsigned char *, const unsigned char *);
using FillFn = void (*)(unsigned char *, unsigned char);

inline bool BothWordAligned(const void *a, const void *b)
{
    return ((reinterpret_cast<std::uintptr_t>(a) | reinterpret_cast<std::uintptr_t>(b)) & 7U) == 0;
}

inline bool WordAligned(const void *a)
{
    return (reinterpret_cast<std::uintptr_t>(a) & 7U) == 0;
}

template <std::size_t N>
[[gnu::always_inline]] inline void CopyWords(unsigned char *d, const unsigned char *s)
{
    constexpr std::size_t words = N / 8;
    for (std::size_t i = 0; i < words; ++i) {
        __builtin_memcpy(d + i * 8, s + i * 8, 8);
    }
    for (std::size_t i = words * 8; i < N; ++i) {
        d[i] = s[i];
    }
}

template <std::size_t N>
[[gnu::always_inline]] inline void CopyBytes(unsigned char *d, const unsigned char *s)
{
    for (std::size_t i = 0; i < N; ++i) {
        d[i] = s[i];
    }
}

// A constant block of the two fill values that may go out as whole words.
template <unsigned char V>
inline constexpr std::array<unsigned char, 32> kFillBlock = [] {
    std::array<unsigned char, 32> b{};
    b.fill(V);
    return b;
}();

template <std::size_t N, unsigned char V>
[[gnu::always_inline]] inline void FillWords(unsigned char *d, unsigned char)
{
    constexpr std::size_t words = N / 8;
    for (std::size_t i = 0; i < words; ++i) {
        __builtin_memcpy(d + i * 8, kFillBlock<V>.data() + i * 8, 8);
    }
    for (std::size_t i = words * 8; i < N; ++i) {
        d[i] = V;
    }
}

template <std::size_t N>
[[gnu::always_inline]] inline void FillBytes(unsigned char *d, unsigned char c)
{
    for (std::size_t i = 0; i < N; ++i) {
        d[i] = c;
    }
}

template <std::size_t Max, template <std::size_t> class Op, typename Fn>
constexpr auto MakeTable()
{
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<Fn, Max + 1>{Op<I>::fn...};
    }(std::make_index_sequence<Max + 1>{});
}

template <std::size_t N> struct CopyWordsOp { static constexpr CopyFn fn = &CopyWords<N>; };
template <std::size_t N> struct CopyBytesOp { static constexpr CopyFn fn = &CopyBytes<N>; };
template <std::size_t N> struct FillZeroOp { static constexpr FillFn fn = &FillWords<N, 0x00>; };
template <std::size_t N> struct FillOnesOp { static constexpr FillFn fn = &FillWords<N, 0xFF>; };
template <std::size_t N> struct FillBytesOp { static constexpr FillFn fn = &FillBytes<N>; };

inline constexpr std::size_t kInlineCopyMax = 64;
inline constexpr std::size_t kInlineFillMax = 32;
inline constexpr std::size_t kInlineStringMax = 32;

// Indexed by byte count; entry 0 moves nothing.
inline constexpr auto kCopyWords = MakeTable<kInlineCopyMax, CopyWordsOp, CopyFn>();
inline constexpr auto kCopyBytes = MakeTable<kInlineCopyMax, CopyBytesOp, CopyFn>();
inline constexpr auto kFillZero = MakeTable<kInlineFillMax, FillZeroOp, FillFn>();
inline constexpr auto kFillOnes = MakeTable<kInlineFillMax, FillOnesOp, FillFn>();
inline constexpr auto kFillBytes = MakeTable<kInlineFillMax, FillBytesOp, FillFn>();

// Copies 1..kInlineCopyMax bytes: words when both ends are 8-byte aligned.
inline void InlineCopy(void *dest, const void *src, std::size_t count)
{
    auto *d = static_cast<unsigned char *>(dest);
    const auto *s = static_cast<const unsigned char *>(src);
    (BothWordAligned(d, s) ? kCopyWords : kCopyBytes)[count](d, s);
}

// Fills 0..kInlineFillMax bytes: words from a constant block when dest is
// aligned and c is exactly 0 or 0xFF as an int, else bytes of c's low byte.
inline void InlineFill(void *dest, int c, std::size_t count)
{
    auto *d = static_cast<unsigned char *>(dest);
    if (WordAligned(d) && c == 0) {
        kFillZero[count](d, 0);
    } else if (WordAligned(d) && c == 0xFF) {
        kFillOnes[count](d, 0xFF);
    } else {
        kFillBytes[count](d, static_cast<unsigned char>(c));
    }
}

// Pointer relations on addresses, so unrelated objects compare without UB.
inline std::uintptr_t Addr(const void *p)
{
    return reinterpret_cast<std::uintptr_t>(p);
}

// True when [a, a+n) and [b, b+n) share at least one byte and a != b.
inline bool RangesOverlap(const void *a, const void *b, std::size_t n)
{
    const std::uintptr_t x = Addr(a);
    const std::uintptr_t y = Addr(b);
    return (x > y && x - y < n) || (x < y && y - x < n);
}

// True when the ranges are disjoint and distinct (a != b).
inline bool RangesDisjoint(const void *a, const void *b, std::size_t n)
{
    const std::uintptr_t x = Addr(a);
    const std::uintptr_t y = Addr(b);
    return (x > y && x - y >= n) || (x < y && y - x >= n);
}

} // namespace bounded::detail
