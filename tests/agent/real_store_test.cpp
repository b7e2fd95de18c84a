// Runs against the real key-management component (built only when it is part
// of the build): what the agent guarantees whatever the store's content.
#include <gtest/gtest.h>

#include <filesystem>

#include "keytool.h"
#include "log_recorder.h"
#include "temp_dir.h"
#include "zorva_main.h"

namespace zorva_test {
namespace {

class RealStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (g_bZorvaIsInit == 1) {
            (void)ZORVA_Finalize();
        }
        g_pfnZorvaLogIntf = nullptr;
        RecorderA().Clear();
    }
    void TearDown() override
    {
        if (g_bZorvaIsInit == 1) {
            (void)ZORVA_Finalize();
        }
        g_pfnZorvaLogIntf = nullptr;
    }
    TempDir dir_;
};

TEST_F(RealStoreTest, DamagedFilesAreNotAStore)
{
    EXPECT_EQ(ZORVA_Reset(), ZORVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(ZORVA_Finalize(), ZORVA_ERR_FINALIZED);

    const std::string primary = dir_.Write("primary.dat", "not a key store");
    const std::string standby = dir_.Write("standby.dat", "not one either");
    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_ERR);
    EXPECT_EQ(g_bZorvaIsInit, 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
    EXPECT_TRUE(RecorderA().Has("Initialize zorv with key file failed, err (%lu)."));

    // Whatever the component logged came through the bridge, sanitised.
    for (const LogLine &l : RecorderA().WithFormat("%d,%s,%s,%d,%s.")) {
        EXPECT_EQ(l.function, "ZORVA_ZorvLog");
        EXPECT_TRUE(l.code == 25190 || l.code == 25191 || l.code == 25192) << l.code;
        EXPECT_EQ(l.message.find_first_of("/<>[]\n"), std::string::npos) << l.message;
    }
}

TEST_F(RealStoreTest, LifecycleOnARealStoreAndRestoreOfADamagedStandby)
{
    const std::string primary = dir_ / "primary.dat";
    const std::string standby = dir_ / "standby.dat";
    ASSERT_EQ(CreateStore(primary, standby), 0);

    ASSERT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), 0);
    EXPECT_EQ(g_bZorvaIsInit, 1);
    EXPECT_EQ(ZORVA_Reset(), 0);
    EXPECT_TRUE(RecorderA().Has("Reload key file succeed."));
    EXPECT_EQ(ZORVA_Finalize(), 0);

    // A missing copy stops the agent before the component is asked; a
    // damaged one is rewritten by the component through the agent's file
    // callbacks.
    std::filesystem::remove(standby);
    ASSERT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_ERR);
    EXPECT_TRUE(RecorderA().Has("The primary file (%s) or standby file (%s) not exist."));
    dir_.Write("standby.dat", "damaged");
    RecorderA().Clear();
    ASSERT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), 0);
    EXPECT_FALSE(RecorderA().Has("File path invalid, please check(%s)."));
    EXPECT_EQ(ZORVA_Finalize(), 0);
    EXPECT_EQ(RunKeytool("verify --primary '" + primary + "' --standby '" + standby + "'"), 0);

    // Finalise twice, and the on-demand check without a log function.
    EXPECT_EQ(ZORVA_Finalize(), ZORVA_ERR_FINALIZED);
    EXPECT_EQ(ZORVA_CheckInitial(), ZORVA_ERR_PARAMETER_INVALID);
}

TEST_F(RealStoreTest, StoreFilesReachedThroughDotDotAreRefusedByTheOpenCallback)
{
    dir_.Write("sub/primary.dat", "x");
    dir_.Write("sub/standby.dat", "y");
    const std::string primary = dir_ / "sub/../sub/primary.dat";
    const std::string standby = dir_ / "sub/../sub/standby.dat";
    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_ERR);
    EXPECT_TRUE(RecorderA().Has("File path invalid, please check(%s)."));
    EXPECT_TRUE(RecorderA().Has("Initialize zorv with key file failed, err (%lu)."));
}

} // namespace
} // namespace zorva_test
