#include <gtest/gtest.h>

#include <string>

#include "agent_fixture.h"

namespace zorva_test {
namespace {

class LogBridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAgent();
        g_pfnZorvaLogIntf = LogToA;
    }
    void TearDown() override { ResetAgent(); }

    // Sends a copy of message through the bridge; returns the message buffer
    // after the call.
    std::string Forward(int level, const std::string &message, const char *t1 = "file.c", const char *t2 = "Func")
    {
        std::string buffer = message;
        ZORVA_ZorvLog(level, t1, t2, 42, buffer.data());
        return buffer;
    }
};

TEST_F(LogBridgeTest, ComponentErrorLineIsSanitisedAndForwarded)
{
    EXPECT_EQ(Forward(2, "open /a/b <x> failed"), "open |a|b -x+ failed");
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].module, 559);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].code, 25190);
    EXPECT_EQ(lines[0].function, "ZORVA_ZorvLog");
    EXPECT_EQ(lines[0].format, "%d,%s,%s,%d,%s.");
    EXPECT_EQ(lines[0].message, "2,file.c,Func,42,open |a|b -x+ failed.");
}

TEST_F(LogBridgeTest, LevelMapping)
{
    Forward(1, "one");
    Forward(0, "zero");
    Forward(3, "three");
    Forward(-7, "negative");
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].code, 25191);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(lines[i].level, 5);
        EXPECT_EQ(lines[i].code, 25192);
    }
    EXPECT_EQ(lines[3].message, "-7,file.c,Func,42,negative.");
}

TEST_F(LogBridgeTest, FilterPhrasesDropTheLineAnywhereInTheMessage)
{
    const char *phrases[] = {"QintRegFuncEx success", "CfgSetMkMaxCount count", "initialized successful",
                             "Read ksf index=",       "Total fileCount",        "total dest files",
                             "with update counter",   "role is set to"};
    for (const char *phrase : phrases) {
        const std::string message = std::string("x/y ") + phrase + " <tail>";
        // Dropped before sanitising: the buffer is left as it was.
        EXPECT_EQ(Forward(2, message), message);
    }
    EXPECT_TRUE(RecorderA().Lines().empty());
    // Case matters.
    Forward(2, "Role Is Set To primary");
    EXPECT_EQ(RecorderA().Lines().size(), 1u);
}

TEST_F(LogBridgeTest, MissingTextsDropTheLineUntouched)
{
    EXPECT_EQ(Forward(2, "a/b", "file.c", nullptr), "a/b");
    EXPECT_EQ(Forward(2, "a/b", nullptr, "Func"), "a/b");
    ZORVA_ZorvLog(2, "file.c", "Func", 1, nullptr);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

TEST_F(LogBridgeTest, ReplacementTableAndInPlaceWithoutLogFunction)
{
    g_pfnZorvaLogIntf = nullptr;
    EXPECT_EQ(Forward(2, "a/b<c>d~e#f@g[h]i\r\n"), "a|b-c+d^e*f$g{h}i  ");
    EXPECT_EQ(Forward(1, "tab\there\vend"), "tab here end");
    EXPECT_TRUE(RecorderA().Lines().empty());

    std::string all;
    for (int c = 1; c < 256; ++c) {
        all.push_back(static_cast<char>(c));
    }
    std::string replaced = all;
    ZORVA_SpecialCharReplace(replaced.data());
    ASSERT_EQ(replaced.size(), all.size());
    const std::string from = "/<>~#@[]\r\n\t\v";
    const std::string to = "|-+^*${}    ";
    for (size_t i = 0; i < all.size(); ++i) {
        const size_t at = from.find(all[i]);
        EXPECT_EQ(replaced[i], at == std::string::npos ? all[i] : to[at]) << "character " << i + 1;
    }
    ZORVA_SpecialCharReplace(nullptr);
    char empty[1] = {'\0'};
    ZORVA_SpecialCharReplace(empty);
    EXPECT_EQ(empty[0], '\0');
}

} // namespace
} // namespace zorva_test
