// How directives are parsed: flag and width order, limits of widths and
// precisions, the letter I, and the formats that are refused.
#include "format_helpers.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(FormatDirective, FlagsWidthsAndAsterisks)
{
    EXPECT_EQ(Fmt("%5-3d|", 7), "7  |"); // a flag after the width restarts the width
    EXPECT_EQ(Fmt("%*d|%-*d|", -4, 7, 3, 7), "7   |7  |");
    EXPECT_EQ(Fmt("%*3d|", 4, 7), "   7|"); // digits after an asterisk are ignored
    EXPECT_EQ(Fmt("%*-*d|", 9, 2, 7), "7 |");  // a second asterisk after a flag wins
    EXPECT_EQ(Fmt("%.*d|%.*d", -1, 7, 3, 7), "7|007");
    EXPECT_EQ(Fmt("%0*.*d|", 5, -1, 7), "00007|"); // a negative precision keeps zero fill
    EXPECT_EQ(Fmt("%-05d|%+-5d|", 1, 1), "1    |+1   |");
    EXPECT_EQ(Fmt("%.d|%.x", 0, 0), "|");
}

TEST(FormatDirective, WidthAndPrecisionLimits)
{
    // Digits are refused once the value exceeds 21474836; an argument may
    // not exceed 214748360. Accepted values truncate in this small buffer.
    EXPECT_EQ(ImplN(8, "%214748369d", 1).result, -2);
    EXPECT_EQ(ImplN(8, "%214748370d", 1).result, -1);
    EXPECT_EQ(ImplN(8, "%*d", 214748360, 1).result, -2);
    EXPECT_EQ(ImplN(8, "%*d", 214748361, 1).result, -1);
    EXPECT_EQ(ImplN(8, "%*d", -214748361, 1).result, -1);
    EXPECT_EQ(ImplN(8, "%*d", INT_MIN, 1).result, -1);
    EXPECT_EQ(ImplN(8, "%*3d", 214748361, 1).result, -1);

    EXPECT_EQ(Fmt("%.214748369d", 1), std::string(511, '0') + "1");
    EXPECT_EQ(ImplN(8, "%.214748370d", 1).result, -1);
    EXPECT_EQ(Fmt("%.*d", 214748360, 1), std::string(511, '0') + "1");
    EXPECT_EQ(ImplN(8, "%.*d", 214748361, 1).result, -1);
    EXPECT_EQ(Fmt("%.*d", INT_MIN, 5), "5"); // negative: as if none were given
    EXPECT_EQ(Fmt("%.0000000000000000000003d", 1), "001");
}

TEST(FormatDirective, TheLetterIStandsForItselfUnlessASizeFollows)
{
    EXPECT_EQ(Fmt("%Iq"), "Iq");
    EXPECT_EQ(Fmt("ab%I"), "abI");
    EXPECT_EQ(Fmt("%-5I6x|%d", 3), "I6x|3"); // I6 without 4: the directive so far shows nothing
    EXPECT_EQ(Fmt("%I%d", 4), "I4");
    EXPECT_EQ(Fmt("%Iu|%IX", 1ULL << 33, 1ULL << 33), "8589934592|200000000");

    // Room runs out on the letter itself.
    const Formatted f = ImplN(3, "ab%Ik");
    EXPECT_EQ(f.result, -2);
    EXPECT_EQ(f.bytes, std::string("ab\0", 3));
}

TEST(FormatDirective, RefusedFormatsEmptyTheDestination)
{
    for (const char *format : {"%n", "%a", "%5*d", "%.5.3d", "abc%", "%5%", "%.-3d", "%l", "%5", "%.", "%-", "%hk",
                               "%.*3*d", "%b", "%A", "%'d", "%1$d", "%#"}) {
        SCOPED_TRACE(format);
        const Formatted f = ImplN(64, format, 1, 2, 3);
        EXPECT_EQ(f.result, -1);
        EXPECT_EQ(f.bytes[0], '\0');
        EXPECT_TRUE(f.guardsIntact);
        EXPECT_EQ(FormatN(64, format, 1, 2, 3).result, -1);
    }
    // Output before the refusal may stay after the first byte.
    const Formatted f = ImplN(16, "abc%n", nullptr);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.bytes.substr(0, 3), std::string("\0bc", 3));
}

} // namespace
