// Runs in a private mount namespace (tests/isolated.sh) with empty
// /startup_disk/conf/conf_local and /VBX/data.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "agent_fixture.h"

namespace zorva_test {
namespace {

const std::string kFirstPrimary = "/startup_disk/conf/conf_local/zorvm_primary_file.dat";
const std::string kFirstStandby = "/startup_disk/conf/conf_local/zorvm_standby_file.dat";
const std::string kBackupPrimary = "/VBX/data/zorvm_primary_file.dat.membak";
const std::string kBackupStandby = "/VBX/data/zorvm_standby_file.dat.membak";

void Touch(const std::string &path)
{
    std::ofstream(path, std::ios::binary) << "store";
}

class FixedPathsTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        for (const auto &p : {kFirstPrimary, kFirstStandby, kBackupPrimary, kBackupStandby}) {
            std::filesystem::remove(p);
        }
        // A failed initialisation registers the log function that the
        // on-demand initialisation hands on.
        const std::string missing = dir_ / "missing.dat";
        ASSERT_EQ(ZORVA_Init(LogToA, missing.c_str(), missing.c_str()), RET_ERR);
        RecorderA().Clear();
        ZorvDouble_Reset();
        ZorvDouble_SetReadFilesOnInit(1);
    }
};

TEST_F(FixedPathsTest, FirstPairIsPreferred)
{
    for (const auto &p : {kFirstPrimary, kFirstStandby, kBackupPrimary, kBackupStandby}) {
        Touch(p);
    }
    EXPECT_EQ(ZORVA_CheckInitial(), 0);
    EXPECT_STREQ(g_szZorvaPriKeyFile, kFirstPrimary.c_str());
    EXPECT_STREQ(g_szZorvaStdKeyFile, kFirstStandby.c_str());
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
}

TEST_F(FixedPathsTest, MemoryBackupPairIsUsedWhenTheFirstIsMissing)
{
    Touch(kFirstPrimary); // standby of the first pair missing
    Touch(kBackupPrimary);
    Touch(kBackupStandby);
    EXPECT_EQ(ZORVA_CheckInitial(), 0);
    EXPECT_EQ(g_bZorvaIsInit, 1);
    ZorvDoubleInitArgs args{};
    ASSERT_EQ(ZorvDouble_LastInitArgs(&args), 1);
    EXPECT_EQ(args.primary, kBackupPrimary);
    EXPECT_EQ(args.standby, kBackupStandby);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_TRUE(RecorderA().Has("The primary file (%s) or standby file (%s) not exist."));
    EXPECT_EQ(RecorderA().Lines()[0].format, "The process has not been initialized.");
}

TEST_F(FixedPathsTest, NeitherPairGivesTheLastResult)
{
    EXPECT_EQ(ZORVA_CheckInitial(), RET_ERR);
    EXPECT_EQ(RecorderA().WithFormat("The primary file (%s) or standby file (%s) not exist.").size(), 2u);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 0);
}

} // namespace
} // namespace zorva_test
