#include "bounded.h"
#include "guarded_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

using CopyFn = int (*)(void *, size_t, const void *, size_t);
using FillFn = int (*)(void *, size_t, int, size_t);

struct NamedCopy {
    const char *name;
    CopyFn fn;
};
struct NamedFill {
    const char *name;
    FillFn fn;
};

constexpr NamedCopy kCopies[] = {{"memcpy_s", memcpy_s}, {"memcpy_sOptAsm", memcpy_sOptAsm},
                                 {"memcpy_sOptTc", memcpy_sOptTc}};
constexpr NamedFill kFills[] = {{"memset_s", memset_s}, {"memset_sOptAsm", memset_sOptAsm},
                                {"memset_sOptTc", memset_sOptTc}};

std::vector<unsigned char> Pattern(size_t n, unsigned char start = 1)
{
    std::vector<unsigned char> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(BoundedCodes, TableValues)
{
    EXPECT_EQ(BOUNDED_OK, 0);
    EXPECT_EQ(BOUNDED_EINVAL, 22);
    EXPECT_EQ(BOUNDED_ERANGE, 34);
    EXPECT_EQ(BOUNDED_RESET_BIT, 128);
    EXPECT_EQ(BOUNDED_EINVAL_RESET, 150);
    EXPECT_EQ(BOUNDED_ERANGE_RESET, 162);
    EXPECT_EQ(BOUNDED_OVERLAP_RESET, 182);
    EXPECT_EQ(BOUNDED_MAX_LEN, 0x7FFFFFFFu);
}

TEST(BoundedCopy, NoOpsWriteNothing)
{
    for (const auto &c : kCopies) {
        SCOPED_TRACE(c.name);
        GuardedBuffer dst(16);
        auto src = Pattern(16);
        EXPECT_EQ(c.fn(dst.data(), 16, src.data(), 0), BOUNDED_OK);
        EXPECT_TRUE(dst.AllEqual(0x5A));
        EXPECT_EQ(c.fn(dst.data(), 16, dst.data(), 16), BOUNDED_OK); // dest == src
        EXPECT_TRUE(dst.AllEqual(0x5A));
        EXPECT_TRUE(dst.GuardsIntact());
    }
}

TEST(BoundedCopy, DestMaxRangeIsTestedFirst)
{
    for (const auto &c : kCopies) {
        SCOPED_TRACE(c.name);
        GuardedBuffer dst(16);
        auto src = Pattern(16);
        EXPECT_EQ(c.fn(dst.data(), 0, src.data(), 4), BOUNDED_ERANGE);
        EXPECT_EQ(c.fn(nullptr, 0, nullptr, 4), BOUNDED_ERANGE);
        EXPECT_EQ(c.fn(dst.data(), 0, nullptr, 0), BOUNDED_ERANGE);
        // Out of range and failing the fast test otherwise: still 34, nothing written.
        EXPECT_EQ(c.fn(dst.data(), BOUNDED_MAX_LEN + 1, nullptr, 4), BOUNDED_ERANGE);
        EXPECT_TRUE(dst.AllEqual(0x5A));
        EXPECT_TRUE(dst.GuardsIntact());
    }
}

TEST(BoundedCopy, UpperLimitOnlyTheTcVariantSkips)
{
    GuardedBuffer dst(8);
    auto src = Pattern(8);
    EXPECT_EQ(memcpy_s(dst.data(), BOUNDED_MAX_LEN, src.data(), 8), BOUNDED_OK);
    EXPECT_EQ(std::memcmp(dst.data(), src.data(), 8), 0);

    GuardedBuffer other(8);
    EXPECT_EQ(memcpy_s(other.data(), BOUNDED_MAX_LEN + 1, src.data(), 8), BOUNDED_ERANGE);
    EXPECT_EQ(memcpy_sOptAsm(other.data(), BOUNDED_MAX_LEN + 1, src.data(), 8), BOUNDED_ERANGE);
    EXPECT_TRUE(other.AllEqual(0x5A));
    EXPECT_EQ(memcpy_sOptTc(other.data(), BOUNDED_MAX_LEN + 1, src.data(), 8), BOUNDED_OK);
    EXPECT_EQ(std::memcmp(other.data(), src.data(), 8), 0);
    EXPECT_TRUE(dst.GuardsIntact());
    EXPECT_TRUE(other.GuardsIntact());
}

TEST(BoundedCopy, FailuresResetTheWholeDestination)
{
    for (const auto &c : kCopies) {
        SCOPED_TRACE(c.name);
        auto src = Pattern(32);

        EXPECT_EQ(c.fn(nullptr, 16, nullptr, 4), BOUNDED_EINVAL);
        EXPECT_EQ(c.fn(nullptr, 16, src.data(), 4), BOUNDED_EINVAL);

        GuardedBuffer nullSrc(16);
        EXPECT_EQ(c.fn(nullSrc.data(), 16, nullptr, 4), BOUNDED_EINVAL_RESET);
        EXPECT_TRUE(nullSrc.AllEqual(0));
        EXPECT_TRUE(nullSrc.GuardsIntact());

        GuardedBuffer tooBig(16);
        EXPECT_EQ(c.fn(tooBig.data(), 16, src.data(), 17), BOUNDED_ERANGE_RESET);
        EXPECT_TRUE(tooBig.AllEqual(0));
        EXPECT_TRUE(tooBig.GuardsIntact());
    }
}

TEST(BoundedCopy, OverlapIsRefusedAdjacentIsCopied)
{
    for (const auto &c : kCopies) {
        SCOPED_TRACE(c.name);
        // Source and destination inside one guarded region.
        GuardedBuffer region(64);
        auto *base = region.data();
        for (int i = 0; i < 64; ++i) {
            base[i] = static_cast<unsigned char>(i + 1);
        }
        // dest = src + count - 1: one shared byte.
        EXPECT_EQ(c.fn(base + 7, 16, base, 8), BOUNDED_OVERLAP_RESET);
        for (int i = 7; i < 23; ++i) {
            EXPECT_EQ(base[i], 0) << i;
        }
        EXPECT_EQ(base[6], 7); // outside destMax untouched
        EXPECT_EQ(base[23], 24);

        // dest below src, overlapping.
        for (int i = 0; i < 64; ++i) {
            base[i] = static_cast<unsigned char>(i + 1);
        }
        EXPECT_EQ(c.fn(base + 30, 8, base + 33, 8), BOUNDED_OVERLAP_RESET);
        for (int i = 30; i < 38; ++i) {
            EXPECT_EQ(base[i], 0) << i;
        }

        // Size test comes before the overlap test.
        for (int i = 0; i < 64; ++i) {
            base[i] = static_cast<unsigned char>(i + 1);
        }
        EXPECT_EQ(c.fn(base + 1, 8, base, 9), BOUNDED_ERANGE_RESET);

        // Adjacent ranges copy normally.
        for (int i = 0; i < 64; ++i) {
            base[i] = static_cast<unsigned char>(i + 1);
        }
        EXPECT_EQ(c.fn(base + 8, 8, base, 8), BOUNDED_OK);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(base[8 + i], i + 1);
        }
        EXPECT_EQ(c.fn(base + 40, 8, base + 48, 8), BOUNDED_OK);
        EXPECT_EQ(base[40], 49);
        EXPECT_TRUE(region.GuardsIntact());
    }
}

TEST(BoundedFill, CodesAndResets)
{
    for (const auto &f : kFills) {
        SCOPED_TRACE(f.name);
        GuardedBuffer dst(24);
        EXPECT_EQ(f.fn(dst.data(), 24, 0xAB, 25), BOUNDED_ERANGE_RESET);
        EXPECT_TRUE(dst.AllEqual(0xAB)); // reset uses the caller's value
        EXPECT_TRUE(dst.GuardsIntact());

        GuardedBuffer zero(4);
        EXPECT_EQ(f.fn(zero.data(), 0, 0, 0), BOUNDED_OK);
        EXPECT_EQ(f.fn(zero.data(), 0, 0, 1), BOUNDED_ERANGE);
        EXPECT_EQ(f.fn(nullptr, 0, 0, 0), BOUNDED_ERANGE);
        EXPECT_EQ(f.fn(nullptr, 16, 0, 4), BOUNDED_EINVAL);
        EXPECT_TRUE(zero.AllEqual(0x5A));

        GuardedBuffer part(16);
        EXPECT_EQ(f.fn(part.data(), 16, 0x1234, 5), BOUNDED_OK);
        EXPECT_EQ(part.CountOf(0x34), 5u); // low byte only
        EXPECT_TRUE(part.AllEqual(0x5A, 5));
        EXPECT_TRUE(part.GuardsIntact());
    }
}

TEST(BoundedFill, UpperLimitOnlyTheTcVariantSkips)
{
    GuardedBuffer dst(8);
    EXPECT_EQ(memset_s(dst.data(), BOUNDED_MAX_LEN, 1, 8), BOUNDED_OK);
    EXPECT_EQ(memset_s(dst.data(), BOUNDED_MAX_LEN + 1, 2, 8), BOUNDED_ERANGE);
    EXPECT_EQ(memset_sOptAsm(dst.data(), BOUNDED_MAX_LEN + 1, 2, 8), BOUNDED_ERANGE);
    EXPECT_TRUE(dst.AllEqual(1));
    EXPECT_EQ(memset_sOptTc(dst.data(), BOUNDED_MAX_LEN + 1, 3, 8), BOUNDED_OK);
    EXPECT_TRUE(dst.AllEqual(3));
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(BoundedFill, WordPathUsesOnlyExactZeroOrAllOnes)
{
    // 0x1FF is not 0xFF as an int: the byte path stores its low byte.
    GuardedBuffer dst(16);
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(dst.data()) % 8, 0u);
    EXPECT_EQ(memset_sOptAsm(dst.data(), 16, 0x1FF, 16), BOUNDED_OK);
    EXPECT_TRUE(dst.AllEqual(0xFF));
    EXPECT_EQ(memset_sOptAsm(dst.data(), 16, 0x100, 16), BOUNDED_OK);
    EXPECT_TRUE(dst.AllEqual(0x00));
    EXPECT_TRUE(dst.GuardsIntact());
}

// The inline variants must do exactly what memcpy_s / memset_s do for every
// small size, aligned or not, on both sides of the inline limit.
TEST(BoundedInlineVariants, MatchTheCheckedCallForEverySize)
{
    constexpr size_t kMax = 128;
    for (size_t dOff : {0u, 1u, 3u, 8u}) {
        for (size_t sOff : {0u, 5u, 8u}) {
            for (size_t n = 0; n <= kMax; ++n) {
                SCOPED_TRACE(testing::Message() << "n=" << n << " dOff=" << dOff << " sOff=" << sOff);
                std::vector<unsigned char> srcStore(kMax + 16);
                std::iota(srcStore.begin(), srcStore.end(), static_cast<unsigned char>(n));
                const unsigned char *src = srcStore.data() + sOff;

                GuardedBuffer ref(kMax, 0x5A, dOff);
                ASSERT_EQ(memcpy_s(ref.data(), kMax, src, n), BOUNDED_OK);
                for (auto fn : {memcpy_sOptAsm, memcpy_sOptTc}) {
                    GuardedBuffer got(kMax, 0x5A, dOff);
                    ASSERT_EQ(fn(got.data(), kMax, src, n), BOUNDED_OK);
                    ASSERT_EQ(std::memcmp(got.data(), ref.data(), kMax), 0);
                    ASSERT_TRUE(got.GuardsIntact());
                }
                for (int c : {0, 0xFF, 0x1FF, 0x37, -1}) {
                    GuardedBuffer fref(kMax, 0x5A, dOff);
                    ASSERT_EQ(memset_s(fref.data(), kMax, c, n), BOUNDED_OK);
                    for (auto fn : {memset_sOptAsm, memset_sOptTc}) {
                        GuardedBuffer got(kMax, 0x5A, dOff);
                        ASSERT_EQ(fn(got.data(), kMax, c, n), BOUNDED_OK);
                        ASSERT_EQ(std::memcmp(got.data(), fref.data(), kMax), 0) << "c=" << c;
                        ASSERT_TRUE(got.GuardsIntact());
                    }
                }
            }
        }
    }
}

} // namespace
