#include "console_capture.h"
#include "console_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

const std::regex kLine(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[Warn\]\[StartServer\]\[42\]Failed accept client\.\n$)");

TEST(ConsoleLog, LineHasStampLevelFunctionLineThenMessageAndOneNewline)
{
    const Captured c = CaptureConsole([] { PrintLog("Warn", "StartServer", 42, "Failed accept client."); });
    EXPECT_TRUE(std::regex_match(c.out, kLine)) << c.out;
    EXPECT_EQ(c.err, "");
}

TEST(ConsoleLog, OnlyExactErrorGoesToStandardError)
{
    const Captured c = CaptureConsole([] {
        PrintLog("Error", "f", 1, "to err %d", 7);
        PrintLog("Warn", "f", 2, "to out %u", 8u);
        PrintLog("error", "f", 3, "lower case to out");
    });
    EXPECT_NE(c.err.find("][Error][f][1]to err 7\n"), std::string::npos) << c.err;
    EXPECT_EQ(c.err.find("to out"), std::string::npos);
    EXPECT_NE(c.out.find("][Warn][f][2]to out 8\n"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("][error][f][3]lower case to out\n"), std::string::npos) << c.out;
    EXPECT_EQ(c.out.find("to err"), std::string::npos);
}

TEST(ConsoleLog, EachLineReachesARedirectedStreamAtOnce)
{
    // Both streams are files here, so stdout is fully buffered; the capture
    // reads the files before anyone flushes.
    const Captured c = CaptureConsole([] {
        PrintLog("Warn", "main", 5, "Failed alloc recv buf.");
        PrintLog("Error", "main", 6, "Failed create init server.");
    });
    EXPECT_NE(c.out.find("Failed alloc recv buf.\n"), std::string::npos);
    EXPECT_NE(c.err.find("Failed create init server.\n"), std::string::npos);
}

TEST(ConsoleLog, NullLevelOrFormatWritesNothing)
{
    const Captured c = CaptureConsole([] {
        PrintLog(nullptr, "f", 1, "text");
        PrintLog("Error", "f", 1, nullptr);
    });
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

TEST(ConsoleLog, LineOf511CharactersIsWrittenAnd512IsDroppedWhole)
{
    // The prefix is "[YYYY-MM-DD hh:mm:ss][Warn][f][1]": 21 + 6 + 3 + 3 = 33.
    const std::string prefixProbe = CaptureConsole([] { PrintLog("Warn", "f", 1, "x"); }).out;
    const size_t prefixLen = prefixProbe.size() - 2; // less "x\n"
    ASSERT_EQ(prefixLen, 33u);
    const std::string fits(511 - prefixLen, 'a');
    const std::string tooLong(512 - prefixLen, 'b');
    const Captured c = CaptureConsole([&] {
        PrintLog("Warn", "f", 1, "%s", fits.c_str());
        PrintLog("Warn", "f", 1, "%s", tooLong.c_str());
    });
    EXPECT_EQ(c.out.size(), 512u) << "one line of 511 characters and its newline";
    EXPECT_EQ(c.out.find('b'), std::string::npos);
}

TEST(ConsoleLog, TimeStampIsPaddedAndEmptiedWhenItDoesNotFit)
{
    char stamp[64] = "untouched";
    GetLogTime(stamp, sizeof(stamp));
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"))) << stamp;
    char tiny[8] = "x";
    GetLogTime(tiny, sizeof(tiny));
    EXPECT_STREQ(tiny, "");
}

} // namespace
