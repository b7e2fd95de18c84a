#include "bounded.h"
#include "guarded_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BoundedString, FitsExactlyOrIsRefused)
{
    const std::string path(107, 'p');
    GuardedBuffer dst(108);
    EXPECT_EQ(strcpy_s(dst.chars(), 108, path.c_str()), BOUNDED_OK);
    EXPECT_EQ(std::string(dst.chars()), path);
    EXPECT_TRUE(dst.GuardsIntact());

    const std::string longer(108, 'q');
    GuardedBuffer refused(108);
    EXPECT_EQ(strcpy_s(refused.chars(), 108, longer.c_str()), BOUNDED_ERANGE_RESET);
    EXPECT_EQ(refused.data()[0], 0);
    EXPECT_TRUE(refused.AllEqual(0x5A, 1)); // only dest[0] reset
    EXPECT_TRUE(refused.GuardsIntact());
}

TEST(BoundedString, EveryShortLengthAlignedAndNot)
{
    // Crosses the inline limit (32 bytes with the NUL) on both alignments.
    for (size_t off : {0u, 1u}) {
        for (size_t len = 0; len < 48; ++len) {
            SCOPED_TRACE(testing::Message() << "len=" << len << " off=" << off);
            alignas(8) char srcStore[64];
            std::memset(srcStore, 'a', sizeof srcStore);
            char *src = srcStore + off;
            for (size_t i = 0; i < len; ++i) {
                src[i] = static_cast<char>('A' + i % 26);
            }
            src[len] = '\0';
            GuardedBuffer dst(len + 1, 0x5A, off);
            ASSERT_EQ(strcpy_s(dst.chars(), len + 1, src), BOUNDED_OK);
            ASSERT_EQ(std::memcmp(dst.chars(), src, len + 1), 0);
            ASSERT_TRUE(dst.GuardsIntact());
        }
    }
}

TEST(BoundedString, ArgumentFailures)
{
    GuardedBuffer dst(16);
    EXPECT_EQ(strcpy_s(dst.chars(), 0, nullptr), BOUNDED_ERANGE);
    EXPECT_EQ(strcpy_s(dst.chars(), BOUNDED_MAX_LEN + 1, "x"), BOUNDED_ERANGE);
    EXPECT_EQ(strcpy_s(nullptr, 16, "x"), BOUNDED_EINVAL);
    EXPECT_TRUE(dst.AllEqual(0x5A));

    EXPECT_EQ(strcpy_s(dst.chars(), 16, nullptr), BOUNDED_EINVAL_RESET);
    EXPECT_EQ(dst.data()[0], 0);
    EXPECT_TRUE(dst.AllEqual(0x5A, 1));

    GuardedBuffer empty(16);
    EXPECT_EQ(strcpy_s(empty.chars(), 16, ""), BOUNDED_OK);
    EXPECT_EQ(empty.data()[0], 0);
    EXPECT_TRUE(empty.AllEqual(0x5A, 1)); // one NUL byte copied
    EXPECT_TRUE(dst.GuardsIntact());
}

TEST(BoundedString, UnterminatedSourceIsReadOnlyUpToDestMax)
{
    // The source has no NUL: strcpy_s must stop reading at destMax bytes.
    GuardedBuffer src(8, 'z');
    GuardedBuffer dst(8);
    EXPECT_EQ(strcpy_s(dst.chars(), 8, src.chars()), BOUNDED_ERANGE_RESET);
    EXPECT_EQ(dst.data()[0], 0);
    EXPECT_TRUE(dst.AllEqual(0x5A, 1));
    EXPECT_EQ(strcpy_error(dst.chars(), 8, src.chars()), BOUNDED_ERANGE_RESET);
}

TEST(BoundedString, SameAndOverlappingBuffers)
{
    char same[16] = "fits";
    EXPECT_EQ(strcpy_s(same, 16, same), BOUNDED_OK);
    EXPECT_STREQ(same, "fits");

    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcpy_s(full, 4, full), BOUNDED_ERANGE_RESET); // the shared string is emptied
    EXPECT_EQ(full[0], '\0');

    GuardedBuffer region(32);
    char *base = region.chars();
    std::memcpy(base + 1, "hello", 6);
    EXPECT_EQ(strcpy_s(base, 16, base + 1), BOUNDED_OVERLAP_RESET); // src = dest + 1
    EXPECT_EQ(base[0], '\0');
    EXPECT_STREQ(base + 1, "hello"); // only dest[0] changed

    std::memcpy(base, "abc", 4);
    EXPECT_EQ(strcpy_s(base + 4, 8, base), BOUNDED_OK); // adjacent: dest = src + n
    EXPECT_STREQ(base + 4, "abc");

    std::memcpy(base, "abcdefgh", 9);
    EXPECT_EQ(strcpy_s(base + 2, 4, base), BOUNDED_ERANGE_RESET); // too long beats overlap
    EXPECT_TRUE(region.GuardsIntact());
}

TEST(BoundedString, ClassifierOnItsOwn)
{
    char buf[8] = "xyz";
    EXPECT_EQ(strcpy_error(buf, 8, ""), BOUNDED_OK);
    EXPECT_STREQ(buf, "xyz"); // nothing written
    EXPECT_EQ(strcpy_error(buf, 8, "fits"), BOUNDED_OK);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(strcpy_error(buf, 4, "long"), BOUNDED_ERANGE_RESET);
    EXPECT_EQ(buf[0], '\0');
}

} // namespace
