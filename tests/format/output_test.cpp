// Results and destination states of sprintf_s, vsprintf_s and
// SecVsnprintfImpl: argument checks, fitting, truncation and refusal.
#include "format_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <string>

namespace {

TEST(FormattedOutput, ArgumentChecks)
{
    GuardedBuffer dst(8);
    EXPECT_EQ(sprintf_s(dst.chars(), 8, "%s", ""), 0); // empty output
    EXPECT_EQ(dst.data()[0], 0);

    const Formatted nullFormat = FormatN(8, nullptr);
    EXPECT_EQ(nullFormat.result, -1);
    EXPECT_EQ(nullFormat.bytes, std::string(1, '\0') + std::string(7, '\x5A'));
    EXPECT_EQ(sprintf_s(nullptr, 8, "x"), -1);

    const Formatted zero = FormatN(0, nullptr); // destMax checked before dest[0] is reset
    EXPECT_EQ(zero.result, -1);
    EXPECT_TRUE(zero.guardsIntact);
    EXPECT_TRUE(FormatN(0, "x").guardsIntact);
    GuardedBuffer untouched(8);
    EXPECT_EQ(sprintf_s(untouched.chars(), BOUNDED_MAX_LEN + 1, "x"), -1);
    EXPECT_TRUE(untouched.AllEqual(0x5A));
    EXPECT_TRUE(untouched.GuardsIntact());
}

TEST(FormattedOutput, FitsOnlyWithRoomForTheTerminator)
{
    Formatted f = FormatN(6, "%d", 12345);
    EXPECT_EQ(f.result, 5);
    EXPECT_EQ(f.bytes, std::string("12345\0", 6));

    f = FormatN(6, "%d", 123456);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.bytes, std::string("\0" "2345\0", 6));
    EXPECT_TRUE(f.guardsIntact);

    EXPECT_EQ(FormatN(1, "").result, 0);
    EXPECT_EQ(FormatN(1, "").bytes, std::string(1, '\0'));
    EXPECT_EQ(FormatN(1, "a").result, -1);
    EXPECT_EQ(FormatN(512, "%511d", 1).result, 511);
    EXPECT_EQ(FormatN(512, "%512d", 1).result, -1);

    // The core tells a truncation from a refusal; the public functions do not.
    EXPECT_EQ(ImplN(6, "123456").result, -2);
    EXPECT_EQ(ImplN(6, "1234567").result, -2);
    EXPECT_EQ(ImplN(6, "%n").result, -1);
}

// Every output length from destMax - 2 to destMax + 1, through each way the
// engine emits: literal bytes, fill, short and long narrow text, digits,
// floating-point text.
TEST(FormattedOutput, TruncationAroundDestMax)
{
    using Maker = std::function<Formatted(size_t destMax, int length, std::string &expected)>;
    struct Case {
        const char *name;
        int minLength;
        Maker make;
    };
    const Case cases[] = {
        {"literal", 0,
         [](size_t d, int n, std::string &e) {
             e.clear();
             for (int i = 0; i < n; ++i) {
                 e += static_cast<char>('a' + i % 26);
             }
             return FormatN(d, e.c_str());
         }},
        {"fill", 1,
         [](size_t d, int n, std::string &e) {
             e = std::string(static_cast<size_t>(n - 1), ' ') + "7";
             return FormatN(d, "%*d", n, 7);
         }},
        {"left fill", 1,
         [](size_t d, int n, std::string &e) {
             e = "x" + std::string(static_cast<size_t>(n - 1), ' ');
             return FormatN(d, "%-*c", n, 'x');
         }},
        {"string", 0,
         [](size_t d, int n, std::string &e) {
             e.clear();
             for (int i = 0; i < n; ++i) {
                 e += static_cast<char>('A' + i % 26);
             }
             return FormatN(d, "%s", e.c_str());
         }},
        {"digits", 4,
         [](size_t d, int n, std::string &e) {
             e = "-0x" + std::string(static_cast<size_t>(n - 4), '0') + "1";
             return FormatN(d, "-%#0*x", n - 1, 1);
         }},
        {"float", 2,
         [](size_t d, int n, std::string &e) {
             e = "1." + std::string(static_cast<size_t>(n - 2), '0');
             return FormatN(d, "%.*f", n - 2, 1.0);
         }},
    };
    for (const auto &[name, minLength, make] : cases) {
        for (size_t destMax : {5u, 6u, 12u, 13u, 14u, 64u, 600u}) {
            for (int length = std::max(minLength, static_cast<int>(destMax) - 2);
                 length <= static_cast<int>(destMax) + 1; ++length) {
                SCOPED_TRACE(testing::Message() << name << " destMax=" << destMax << " length=" << length);
                std::string expected;
                const Formatted f = make(destMax, length, expected);
                ASSERT_EQ(expected.size(), static_cast<size_t>(length));
                ASSERT_TRUE(f.guardsIntact);
                if (static_cast<size_t>(length) < destMax) {
                    EXPECT_EQ(f.result, length);
                    EXPECT_EQ(f.text, expected);
                } else {
                    EXPECT_EQ(f.result, -1);
                    EXPECT_EQ(f.bytes[0], '\0');
                    EXPECT_EQ(f.bytes[destMax - 1], '\0');
                    EXPECT_EQ(f.bytes.substr(1, destMax - 2), expected.substr(1, destMax - 2));
                }
            }
        }
    }
}

int TwiceThroughOneList(char *a, char *b, size_t n, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int first = vsprintf_s(a, n, format, ap);
    const int second = vsprintf_s(b, n, format, ap);
    va_end(ap);
    return first == second ? first : -100;
}

TEST(FormattedOutput, CallersListIsLeftAsItWas)
{
    char a[32];
    char b[32];
    EXPECT_EQ(TwiceThroughOneList(a, b, sizeof a, "%d %s %d %d %d %d %d %d", 1, "two", 3, 4, 5, 6, 7, 8), 17);
    EXPECT_STREQ(a, "1 two 3 4 5 6 7 8");
    EXPECT_STREQ(b, a);
}

} // namespace
