#include "agent_calls.h"
#include "console_capture.h"
#include "stand_ins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Events = std::vector<std::string>;

class AgentCalls : public ::testing::Test {
protected:
    void SetUp() override { stand_in::ResetAgent(); }
    stand_in::Agent &agent() { return stand_in::agent(); }
};

TEST_F(AgentCalls, InitialisationIsTriedThreeTimesWithAPauseAfterEachFailure)
{
    agent().initResults = {-1};
    char out[64] = "untouched";
    uint32_t plainLen = 77;
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimDecrypt("abc", out, sizeof(out), &plainLen), -1); });
    EXPECT_EQ(agent().events, (Events{"init", "sleep1", "init", "sleep1", "init", "sleep1"}));
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(plainLen, 77u);
    EXPECT_EQ(c.out, "");
    EXPECT_NE(c.err.find("][Error][BrimDecrypt]["), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("]Failed to init zorv, ret {-1}.\n"), std::string::npos) << c.err;
    EXPECT_EQ(c.err.find('\n'), c.err.size() - 1) << "exactly one line";
}

TEST_F(AgentCalls, InitReportsTheLastTrysCode)
{
    agent().initResults = {-1, -1, 10002};
    EXPECT_EQ(InitAgentWithRetry(), 10002);
}

TEST_F(AgentCalls, SecondTrySucceedingPausesOnceAndFinalisesOnce)
{
    agent().initResults = {-1, 0};
    agent().result = "plain";
    char out[64];
    uint32_t plainLen = 0;
    EXPECT_EQ(BrimDecrypt("Y2lwaGVy", out, sizeof(out), &plainLen), 0);
    EXPECT_EQ(agent().events, (Events{"init", "sleep1", "init", "decrypt", "free", "finalize"}));
    EXPECT_STREQ(out, "plain");
    EXPECT_EQ(plainLen, 5u);
    EXPECT_EQ(agent().lastDomain, 9u);
    EXPECT_EQ(agent().lastInputLen, 8u);
    EXPECT_EQ(agent().lastFreedLen, 5u);
}

TEST_F(AgentCalls, RefusedDecryptionFinalisesOnceAndLeavesTheOutputAlone)
{
    agent().operationResult = -1;
    char out[64] = "untouched";
    uint32_t plainLen = 0;
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimDecrypt("abc", out, sizeof(out), &plainLen), -1); });
    EXPECT_EQ(agent().events, (Events{"init", "decrypt", "finalize"}));
    EXPECT_STREQ(out, "untouched");
    EXPECT_NE(c.err.find("][Error][BrimDecrypt]["), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("]Failed to decrypt, ret {-1}.\n"), std::string::npos) << c.err;
}

TEST_F(AgentCalls, ResultThatDoesNotFitIsReportedByCodeWithoutALogLine)
{
    char out[1024];
    uint32_t plainLen = 0;
    agent().result = std::string(1023, 'f');
    EXPECT_EQ(BrimDecrypt("abc", out, sizeof(out), &plainLen), 0);
    EXPECT_EQ(strlen(out), 1023u);

    stand_in::ResetAgent();
    agent().result = std::string(1024, 'g');
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimDecrypt("abc", out, sizeof(out), &plainLen), 162); });
    EXPECT_EQ(agent().events, (Events{"init", "decrypt", "free", "finalize"}));
    EXPECT_EQ(c.out + c.err, "");
}

TEST_F(AgentCalls, EncryptUsesDomainNineAndCopiesBeforeTheAgentWipes)
{
    agent().result = "Q0lQSEVS";
    char out[4096];
    EXPECT_EQ(BrimEncrypt("", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "Q0lQSEVS");
    EXPECT_EQ(agent().lastDomain, 9u);
    EXPECT_EQ(agent().lastInputLen, 0u);
    EXPECT_EQ(agent().events, (Events{"init", "encrypt", "free", "finalize"}));

    stand_in::ResetAgent();
    agent().operationResult = 10002;
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimEncrypt("x", out, sizeof(out)), -1); });
    EXPECT_NE(c.err.find("][Error][BrimEncrypt]["), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("]Failed to encrypt, ret {10002}.\n"), std::string::npos) << c.err;
    EXPECT_EQ(agent().events, (Events{"init", "encrypt", "finalize"}));
}

TEST_F(AgentCalls, AgentLinesNeverReachTheConsole)
{
    char out[64];
    uint32_t plainLen = 0;
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimDecrypt("abc", out, sizeof(out), &plainLen), 0); });
    EXPECT_EQ(c.out + c.err, "");
}

} // namespace
