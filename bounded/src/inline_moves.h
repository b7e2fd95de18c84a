// Straight-line small copies and fills for the inline variants.
//
// Each size has its own instantiation; the callers pick one through a jump
// table indexed by the size. Word moves use fixed-size __builtin_memcpy, which the
// compiler turns into single loads and stores without aliasing or alignment
// undefined behaviour.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace bounded::detail {

inline bool BothWordAligned(const void *a, const void *b)
{
    return ((reinterpret_cast<std::uintptr_t>(a) | reinterpret_cast<std::uintptr_t>(b)) & 7U) == 0;
}

inline bool WordAligned(const void *a)
{
    return (reinterpret_cast<std::uintptr_t>(a) & 7U) == 0;
}

// Straight-line moves: the index packs unroll every byte move. The helpers
// are functions rather than lambdas so that always_inline reaches the
// unrolled body too; an outlined body would be a call per copy.
template <std::size_t... B>
[[gnu::always_inline]] inline void CopyEachByte([[maybe_unused]] unsigned char *d, [[maybe_unused]] const unsigned char *s,
                                                std::index_sequence<B...>)
{
    ((d[B] = s[B]), ...);
}

template <std::size_t... B>
[[gnu::always_inline]] inline void FillEachByte([[maybe_unused]] unsigned char *d, [[maybe_unused]] unsigned char c,
                                                std::index_sequence<B...>)
{
    ((d[B] = c), ...);
}

// The whole words go as one fixed-size block: the compiler moves them in
// pairs (16-byte registers on x86-64, load/store pairs on ARM64), which
// halves the stores of a 64-byte copy; the bytes written are the same. The
// last N % 8 bytes follow one by one.
template <std::size_t N>
[[gnu::always_inline]] inline void CopyWords(unsigned char *d, const unsigned char *s)
{
    constexpr std::size_t kWords = N / 8 * 8;
    if constexpr (kWords > 0) {
        __builtin_memcpy(d, s, kWords);
    }
    CopyEachByte(d + kWords, s + kWords, std::make_index_sequence<N % 8>{});
}

template <std::size_t N>
[[gnu::always_inline]] inline void CopyBytes(unsigned char *d, const unsigned char *s)
{
    CopyEachByte(d, s, std::make_index_sequence<N>{});
}

// A constant block of the two fill values that may go out as whole words.
template <unsigned char V>
inline constexpr std::array<unsigned char, 32> kFillBlock = [] {
    std::array<unsigned char, 32> b{};
    b.fill(V);
    return b;
}();

// As with copies, the whole words go out as one fixed-size block.
template <std::size_t N, unsigned char V>
[[gnu::always_inline]] inline void FillWords(unsigned char *d, unsigned char)
{
    constexpr std::size_t kWords = N / 8 * 8;
    if constexpr (kWords > 0) {
        __builtin_memcpy(d, kFillBlock<V>.data(), kWords);
    }
    FillEachByte(d + kWords, V, std::make_index_sequence<N % 8>{});
}

template <std::size_t N>
[[gnu::always_inline]] inline void FillBytes(unsigned char *d, unsigned char c)
{
    FillEachByte(d, c, std::make_index_sequence<N>{});
}

inline constexpr std::size_t kInlineCopyMax = 64;
inline constexpr std::size_t kInlineFillMax = 32;
inline constexpr std::size_t kInlineStringMax = 32;

// Case lists for the size switches below. A switch over a dense range of
// sizes compiles to a jump table indexed by the size, and each case is the
// straight-line move for its size, inlined: no call is made.
#define BOUNDED_CASES_8(M, b) M(b + 1) M(b + 2) M(b + 3) M(b + 4) M(b + 5) M(b + 6) M(b + 7) M(b + 8)
#define BOUNDED_CASES_32(M) BOUNDED_CASES_8(M, 0) BOUNDED_CASES_8(M, 8) BOUNDED_CASES_8(M, 16) BOUNDED_CASES_8(M, 24)
#define BOUNDED_CASES_64(M) BOUNDED_CASES_32(M) BOUNDED_CASES_8(M, 32) BOUNDED_CASES_8(M, 40) \
    BOUNDED_CASES_8(M, 48) BOUNDED_CASES_8(M, 56)

// Copies 0..kInlineCopyMax bytes: words when both ends are 8-byte aligned.
[[gnu::always_inline]] inline void InlineCopy(void *dest, const void *src, std::size_t count)
{
    auto *d = static_cast<unsigned char *>(dest);
    const auto *s = static_cast<const unsigned char *>(src);
#define BOUNDED_COPY_WORDS(n) case n: CopyWords<n>(d, s); return;
#define BOUNDED_COPY_BYTES(n) case n: CopyBytes<n>(d, s); return;
    if (BothWordAligned(d, s)) {
        switch (count) { BOUNDED_CASES_64(BOUNDED_COPY_WORDS) default: return; }
    }
    switch (count) { BOUNDED_CASES_64(BOUNDED_COPY_BYTES) default: return; }
#undef BOUNDED_COPY_WORDS
#undef BOUNDED_COPY_BYTES
}

// Fills 0..kInlineFillMax bytes: words from a constant block when dest is
// aligned and c is exactly 0 or 0xFF as an int, else bytes of c's low byte.
[[gnu::always_inline]] inline void InlineFill(void *dest, int c, std::size_t count)
{
    auto *d = static_cast<unsigned char *>(dest);
    const auto v = static_cast<unsigned char>(c);
#define BOUNDED_FILL_ZERO(n) case n: FillWords<n, 0x00>(d, v); return;
#define BOUNDED_FILL_ONES(n) case n: FillWords<n, 0xFF>(d, v); return;
#define BOUNDED_FILL_BYTES(n) case n: FillBytes<n>(d, v); return;
    if (WordAligned(d) && c == 0) {
        switch (count) { BOUNDED_CASES_32(BOUNDED_FILL_ZERO) default: return; }
    }
    if (WordAligned(d) && c == 0xFF) {
        switch (count) { BOUNDED_CASES_32(BOUNDED_FILL_ONES) default: return; }
    }
    switch (count) { BOUNDED_CASES_32(BOUNDED_FILL_BYTES) default: return; }
#undef BOUNDED_FILL_ZERO
#undef BOUNDED_FILL_ONES
#undef BOUNDED_FILL_BYTES
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

// Distance in bytes between two addresses.
inline std::uintptr_t Gap(const void *a, const void *b)
{
    const std::uintptr_t x = Addr(a);
    const std::uintptr_t y = Addr(b);
    return x > y ? x - y : y - x;
}

} // namespace bounded::detail
