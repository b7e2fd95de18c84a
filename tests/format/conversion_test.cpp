// What each conversion produces, grouped by kind.
#include "format_helpers.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include <sys/types.h>

namespace {

TEST(FormatInteger, SignsWidthsAndPrecision)
{
    EXPECT_EQ(Fmt("%%"), "%");
    EXPECT_EQ(Fmt("%d", INT32_MIN), "-2147483648");
    EXPECT_EQ(Fmt("%+d|% d|%+ d|% u", 5, 5, 5, 5u), "+5| 5|+5|5");
    EXPECT_EQ(Fmt("%05d|%-5d|", 42, 42), "00042|42   |");
    EXPECT_EQ(Fmt("%05d|%+06d", -42, 42), "-0042|+00042");
    EXPECT_EQ(Fmt("%5.3d|%05.3d", 7, 7), "  007|  007"); // a precision drops the zero flag
    EXPECT_EQ(Fmt("[%.0d][%5.0d][%+.0d]", 0, 0, 0), "[][     ][+]");
    EXPECT_EQ(Fmt("%.600d", 1), std::string(511, '0') + "1"); // precision capped at 512
    EXPECT_EQ(Fmt("%-08d|", -3), "-3      |");
}

TEST(FormatInteger, BasesAndAlternateForms)
{
    EXPECT_EQ(Fmt("%#x %#X %#x", 255, 255, 0), "0xff 0XFF 0");
    EXPECT_EQ(Fmt("%#o %#o %#.0o %#.3o", 8, 0, 0, 8), "010 0 0 010");
    EXPECT_EQ(Fmt("%#08x|%#.4x|%#5.0x|", 255, 255, 0), "0x0000ff|0x00ff|     |");
    EXPECT_EQ(Fmt("%o %x %X %u", 4294967295u, 4294967295u, 3054u, 4294967295u), "37777777777 ffffffff BEE 4294967295");
    EXPECT_EQ(Fmt("%i", -12345), "-12345");
}

TEST(FormatInteger, SizeCharactersPickTheArgumentWidth)
{
    const long long big = 1LL << 40;
    EXPECT_EQ(Fmt("%hhd %hhu %hhx", 200, 200, -1), "-56 200 ff");
    EXPECT_EQ(Fmt("%hd %hu %hd", 70000, -1, -32768), "4464 65535 -32768");
    EXPECT_EQ(Fmt("%lld %I64d %jd %qd %Ld", big, big, static_cast<intmax_t>(big), big, big),
              "1099511627776 1099511627776 1099511627776 1099511627776 1099511627776");
    EXPECT_EQ(Fmt("%ld %zd %td %Id", -1L, static_cast<ssize_t>(-1), static_cast<ptrdiff_t>(-1), -1LL), "-1 -1 -1 -1");
    EXPECT_EQ(Fmt("%lld|%ld", INT64_MIN, INT64_MIN), "-9223372036854775808|-9223372036854775808");
    EXPECT_EQ(Fmt("%llu %zx", UINT64_MAX, static_cast<size_t>(UINT64_MAX)), "18446744073709551615 ffffffffffffffff");
    EXPECT_EQ(Fmt("%I32d %I32x", 7, -1), "7 ffffffff"); // I32 takes 32 bits
    EXPECT_EQ(Fmt("%I64x", static_cast<long long>(0x123456789aLL)), "123456789a");
    EXPECT_EQ(Fmt("%hhjd %hjd", 0x1ff, 0x1ffff), "-1 -1"); // hh and h win over j
    EXPECT_EQ(Fmt("%Nd %wd", 5, 6), "5 6");
}

TEST(FormatInteger, Pointers)
{
    EXPECT_EQ(Fmt("%p %p", nullptr, reinterpret_cast<void *>(0x1000)), "(nil) 0x1000");
    EXPECT_EQ(Fmt("%018p", reinterpret_cast<void *>(0x1000)), "0x0000000000001000");
    EXPECT_EQ(Fmt("%08p|%-8p|%.9p", nullptr, nullptr, reinterpret_cast<void *>(0xab)), "   (nil)|(nil)   |0xab");
    EXPECT_EQ(Fmt("%p", reinterpret_cast<void *>(UINTPTR_MAX)), "0xffffffffffffffff");
}

TEST(FormatText, NarrowCharactersAndStrings)
{
    EXPECT_EQ(Fmt("%c%c|%3c|%-3c|%05c", 'o', 'k' + 256, 'x', 'y', 'z'), "ok|  x|y  |    z");
    EXPECT_EQ(Fmt("%s|%.3s|%05s|%-4s|", nullptr, nullptr, "ab", "ab"), "(null)|(nu|   ab|ab  |");
    EXPECT_EQ(Fmt("%.2s|%.0s|%.10s", "abc", "abc", "abc"), "ab||abc");
    EXPECT_EQ(Fmt("%hS|%hC", "narrow", 'n'), "narrow|n"); // h keeps S and C narrow
    const std::string longText(300, 'L'); // longer than the 11 copied byte by byte
    EXPECT_EQ(Fmt("%s", longText.c_str()), longText);

    // A string without a NUL is read only as far as the precision allows.
    const char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Fmt("%.3s", unterminated), "abc");
}

TEST(FormatText, WideCharactersAndStrings)
{
    EXPECT_EQ(Fmt("%ls|%lc|%S|%C|%wc|%ws", L"wide", L'x', L"WS", L'C', L'w', L"ws"), "wide|x|WS|C|w|ws");
    EXPECT_EQ(Fmt("%5ls|%-5S|%.2ls|%.0ls|", L"ab", L"ab", L"wide", L"wide"), "   ab|ab   |wi||");
    EXPECT_EQ(Fmt("%ls|%.3S", nullptr, nullptr), "(null)|(nu");
    EXPECT_EQ(Fmt("%.*ls", -1, L"all of it"), "all of it");
}

TEST(FormatText, WideTextRefusedWhenTheLocaleCannotConvertIt)
{
    // The C locale has no multibyte form for U+00E9: the whole call is refused.
    const Formatted f = ImplN(64, "ok %ls", L"caf\u00e9");
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.bytes[0], '\0');
    EXPECT_TRUE(f.guardsIntact);
    EXPECT_EQ(FormatN(64, "%lc", 0xE9).result, -1);
}

TEST(FormatText, WidthCountsWideCharactersNotBytes)
{
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) {
        GTEST_SKIP() << "no C.UTF-8 locale";
    }
    const Formatted f = FormatN(64, "[%4ls][%-3lc]", L"\u00e9t\u00e9", 0xE9);
    setlocale(LC_ALL, "C");
    EXPECT_EQ(f.text, "[ \u00e9t\u00e9][\u00e9  ]");
    EXPECT_EQ(f.result, static_cast<int>(f.text.size())); // the count is in bytes
}

TEST(FormatFloat, HandedToThePlatformFormatter)
{
    EXPECT_EQ(Fmt("%.3f|%10.2e|%-8g|%+.1Lf|%G", 3.14159, 1234.5, 0.5, 2.75L, 1e-10), "3.142|  1.23e+03|0.5     |+2.8|1E-10");
    EXPECT_EQ(Fmt("%f|%#.0f|%08.2f|% .1E", 1.5, 2.0, -1.5, 10.0), "1.500000|2.|-0001.50| 1.0E+01");
    EXPECT_EQ(Fmt("%*.*f|%-*f|", 8, 2, 1.5, -6, 2.0), "    1.50|2.000000|");
    EXPECT_EQ(Fmt("%.*f", -3, 0.25), "0.250000"); // negative precision: the default
    EXPECT_EQ(Fmt("%F|%e", 1e300 * 1e300, 0.0), "INF|0.000000e+00");

    const std::string wide = Fmt("%.1000f", 1.5); // through a heap buffer
    EXPECT_EQ(wide, "1.5" + std::string(999, '0'));
    const std::string padded = Fmt("%600.1f|%-*.1f|", 2.5, 700, 2.5);
    EXPECT_EQ(padded, std::string(597, ' ') + "2.5|2.5" + std::string(697, ' ') + "|");
    EXPECT_EQ(Fmt("%.400Lf", 1.0L), "1." + std::string(400, '0'));
}

TEST(FormatFloat, SkippedConversionStillTakesItsValue)
{
    EXPECT_EQ(Fmt("a%.214748012fb|%d", 1.5, 9), "ab|9");
    EXPECT_EQ(Fmt("a%.214743389Lfb|%d", 1.5L, 9), "ab|9");
    EXPECT_EQ(Fmt("%.*f|%s", 214748012, 1.5, "next"), "|next");
}

TEST(FormatFloat, DirectiveIsRebuiltFromWhatTheEngineParsed)
{
    // The formatter gets exactly the directive the engine understood: size
    // characters other than L and q say nothing to it, flags after a width
    // restart the width, digits after an asterisk are ignored.
    EXPECT_EQ(Fmt("%llf|%I64f|%hf|%wf|%Nf|%jf", 2.5, 2.5, 2.5, 2.5, 2.5, 2.5),
              "2.500000|2.500000|2.500000|2.500000|2.500000|2.500000");
    EXPECT_EQ(Fmt("%qf", 2.5L), "2.500000");
    EXPECT_EQ(Fmt("%*5f|%.*9f|%5-3f|", 10, 1.5, 1, 1.5, 1.5), "  1.500000|1.5|1.500000|");
    std::string chain = "%";
    for (int i = 0; i < 400; ++i) {
        chain += "1-"; // a long directive whose width ends up 1
    }
    chain += "1f|";
    EXPECT_EQ(Fmt(chain.c_str(), 1.5), "1.500000|");
}

} // namespace
