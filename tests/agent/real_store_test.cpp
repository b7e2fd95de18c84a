// Runs against the real key-management component (built only when it is part
// of the build): what the agent guarantees whatever the store's content.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

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

// Key-store files are regular files reached without links: the agent and
// the key tool refuse a linked store in the same words, and the agent never
// runs on the one copy it could open.
TEST_F(RealStoreTest, StoresBreakingThePathRuleAreRefusedInTheKeytoolsWords)
{
    const std::string primary = dir_ / "primary.dat";
    const std::string standby = dir_ / "standby.dat";
    ASSERT_EQ(CreateStore(primary, standby), 0);
    const std::string elsewhere = dir_ / "elsewhere.dat";
    std::filesystem::rename(standby, elsewhere);
    std::filesystem::create_symlink(elsewhere, standby);

    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_ERR);
    const auto refused = RecorderA().WithFormat(
        "Key-store file (%s) %s; key-store files must be regular files reached without links.");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].function, "ZORVA_PreInit");
    EXPECT_EQ(refused[0].message, "Key-store file (" + standby +
                                      ") is a symbolic link; key-store files must be regular files reached without "
                                      "links.");
    EXPECT_FALSE(RecorderA().Has("Initialize zorv with key file failed, err (%lu).")) << "the store was not opened";

    const std::string err = dir_ / "keytool.err";
    for (const char *command : {"verify", "rotate"}) {
        const int status = std::system((std::string(ZORVM_KEYTOOL) + " " + command + " --primary '" + primary +
                                        "' --standby '" + standby + "' >/dev/null 2>'" + err + "'")
                                           .c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << command;
        std::ifstream in(err);
        const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(said.find("zorvm_keytool: " + refused[0].message + "\n"), std::string::npos) << command << said;
    }

    // A path through ".." names the same regular files, but not canonically.
    RecorderA().Clear();
    std::filesystem::remove(standby);
    std::filesystem::rename(elsewhere, standby);
    const std::string dotted = dir_ / ("../" + std::filesystem::path(dir_.Path()).filename().string() + "/standby.dat");
    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), dotted.c_str()), RET_ERR);
    ASSERT_EQ(RecorderA().WithFormat(refused[0].format).size(), 1u);
    EXPECT_NE(RecorderA().WithFormat(refused[0].format)[0].message.find("is not its own canonical path"),
              std::string::npos);
    // So does a path through a linked folder.
    std::filesystem::create_directory_symlink(dir_.Path(), dir_ / "linked");
    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), (dir_ / "linked/standby.dat").c_str()), RET_ERR);
    EXPECT_NE(RecorderA().WithFormat(refused[0].format).back().message.find("is not its own canonical path"),
              std::string::npos);
    EXPECT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_OK);
}

} // namespace
} // namespace zorva_test
