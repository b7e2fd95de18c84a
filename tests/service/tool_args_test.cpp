#include "tool_args.h"

#include <gtest/gtest.h>

namespace {

int Check(std::initializer_list<const char *> words)
{
    std::vector<char *> argv;
    for (const char *w : words) {
        argv.push_back(const_cast<char *>(w));
    }
    argv.push_back(nullptr);
    return CheckToolArgs(static_cast<int>(words.size()), argv.data());
}

TEST(ToolArgs, AcceptsOnlyTheCommandWordAsSpeltAndOneName)
{
    EXPECT_EQ(Check({"encrypt_tool", "encrpyt", "SECRET"}), 0);
    EXPECT_EQ(Check({"encrypt_tool", "encrypt", "SECRET"}), -1);
    EXPECT_EQ(Check({"encrypt_tool", "ENCRPYT", "SECRET"}), -1);
    EXPECT_EQ(Check({"encrypt_tool", "encrpyt"}), -1);
    EXPECT_EQ(Check({"encrypt_tool", "encrpyt", "SECRET", "extra"}), -1);
    EXPECT_EQ(Check({"encrypt_tool"}), -1);
    char *holes[] = {const_cast<char *>("encrypt_tool"), const_cast<char *>("encrpyt"), nullptr};
    EXPECT_EQ(CheckToolArgs(3, holes), -1);
}

} // namespace
