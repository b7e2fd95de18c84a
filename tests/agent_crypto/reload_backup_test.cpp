// Runs in a private mount namespace (tests/isolated.sh) where /VBX/data is a
// throw-away folder for the memory-backup key files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

constexpr const char *kBackupPrimary = "/VBX/data/zorvm_primary_file.dat.membak";
constexpr const char *kBackupStandby = "/VBX/data/zorvm_standby_file.dat.membak";

class ReloadBackupTest : public CryptoTest {
protected:
    void SetUp() override
    {
        std::ofstream(kBackupPrimary, std::ios::binary) << "backup key store, primary copy";
        std::ofstream(kBackupStandby, std::ios::binary) << "backup key store, standby copy";
        CryptoTest::SetUp();
    }
};

TEST_F(ReloadBackupTest, FallsBackToTheMemoryBackupPairAndWatchesIt)
{
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_QueueResult(ZORV_DOUBLE_INIT, 30);
    ASSERT_EQ(CheckReload(1), 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 2);
    ZorvDoubleInitArgs args{};
    ASSERT_EQ(ZorvDouble_LastInitArgs(&args), 1);
    EXPECT_STREQ(args.primary, kBackupPrimary);
    EXPECT_STREQ(args.standby, kBackupStandby);
    EXPECT_STREQ(g_szZorvaPriKeyFile, kBackupPrimary);
    EXPECT_EQ(CountLines("Initialize zorv with key file failed, err (%lu)."), 0u);
    EXPECT_FALSE(ReloadLockHeld());

    // From now on the backup primary file is the one watched.
    SetModifiedTime(kBackupPrimary, kKeyFileTime + 100);
    RecorderA().Clear();
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 2);
    EXPECT_EQ(SavedModifiedTime(), kKeyFileTime + 100);

    // Encryption still works after the fallback.
    char *cipher = nullptr;
    uint32_t cipherLen = 0;
    ASSERT_EQ(ZORVA_Encrypt(9, "secret", 6, &cipher, &cipherLen), 0);
    char *plain = nullptr;
    uint32_t plainLen = 0;
    ASSERT_EQ(ZORVA_Decrypt(9, cipher, cipherLen, &plain, &plainLen), 0);
    EXPECT_EQ(std::string(plain, plainLen), "secret");
    ZORVA_MemClearFree(cipher, cipherLen);
    ZORVA_MemClearFree(plain, plainLen);
}

} // namespace
} // namespace zorva_test
