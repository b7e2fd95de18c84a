// Runs in a private mount namespace (tests/isolated.sh) against the real key
// store: on-demand initialisation from the fixed locations.
#include <gtest/gtest.h>

#include <filesystem>

#include "keytool.h"
#include "log_recorder.h"
#include "temp_dir.h"
#include "zorva_main.h"

namespace zorva_test {
namespace {

TEST(RealFixedPaths, OnDemandInitFallsBackToTheMemoryBackupPair)
{
    TempDir dir;
    const std::string primary = dir / "primary.dat";
    const std::string standby = dir / "standby.dat";
    ASSERT_EQ(CreateStore(primary, standby), 0);
    ASSERT_EQ(RunKeytool("backup --dir /VBX/data --primary '" + primary + "' --standby '" + standby + "'"), 0);
    ASSERT_TRUE(std::filesystem::exists("/VBX/data/zorvm_primary_file.dat.membak"));

    // A failed initialisation leaves the log function that the on-demand
    // initialisation hands on; the first fixed pair does not exist.
    const std::string missing = dir / "missing.dat";
    ASSERT_EQ(ZORVA_Init(LogToA, missing.c_str(), missing.c_str()), RET_ERR);
    RecorderA().Clear();
    EXPECT_EQ(ZORVA_CheckInitial(), 0);
    EXPECT_EQ(g_bZorvaIsInit, 1);
    EXPECT_STREQ(g_szZorvaPriKeyFile, "/VBX/data/zorvm_primary_file.dat.membak");
    EXPECT_STREQ(g_szZorvaStdKeyFile, "/VBX/data/zorvm_standby_file.dat.membak");
    const auto lines = RecorderA().Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].format, "The process has not been initialized.");
    EXPECT_EQ(ZORVA_Finalize(), 0);
}

} // namespace
} // namespace zorva_test
