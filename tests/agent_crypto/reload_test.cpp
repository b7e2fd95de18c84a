#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "crypto_fixture.h"

namespace zorva_test {
namespace {

// SHA-256 of "abc".
constexpr const char *kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class ReloadTest : public CryptoTest {};

TEST_F(ReloadTest, FirstUnforcedCheckReloadsOnceThenNothingIsPending)
{
    ForgetKeyFileStatus();
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 1);
    ExpectLine("Zorvm_pri file sha256 is not same, need to reload.", 4, 25140, "ZORVA_Checksha256",
               "Zorvm_pri file sha256 is not same, need to reload.");
    ExpectLine("The force is (%d), and need to reload key file.", 4, 25089, "ZORVA_CheckReloadKeyFile",
               "The force is (0), and need to reload key file.");
    ExpectLine("Reload key file done, ret (%lu).", 4, 25089, "ZORVA_CheckReloadKeyFile",
               "Reload key file done, ret (0).");
    EXPECT_EQ(SavedModifiedTime(), kKeyFileTime);
    EXPECT_EQ(SavedHash().size(), 64u);

    RecorderA().Clear();
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 1);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

TEST_F(ReloadTest, NewTimeWithSameContentsIsSavedWithoutReload)
{
    const std::string hash = SavedHash();
    SetModifiedTime(primary_, kKeyFileTime + 5);
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 0);
    EXPECT_EQ(SavedModifiedTime(), kKeyFileTime + 5);
    EXPECT_EQ(SavedHash(), hash);

    // Other contents within the saved second reload: told by the size, and
    // for a replacement of the same size by rename, by the new inode.
    RewritePrimary("key store, second version", kKeyFileTime + 5);
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 1);
    const std::string second = SavedHash();
    EXPECT_NE(second, hash);
    const std::string next = dir_.Write("primary.next", "key store, third version.");
    SetModifiedTime(next, kKeyFileTime + 5);
    ASSERT_EQ(std::rename(next.c_str(), primary_.c_str()), 0);
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 2);
    EXPECT_NE(SavedHash(), second);
}

TEST_F(ReloadTest, ForcedCheckReloadsAndLeavesTheSavedHashEmpty)
{
    ASSERT_EQ(CheckReload(1), 0);
    EXPECT_EQ(Resets(), 1);
    EXPECT_EQ(CountLines("Zorvm_pri file sha256 is not same, need to reload."), 0u);
    EXPECT_EQ(OnlyLine("The force is (%d), and need to reload key file.").message,
              "The force is (1), and need to reload key file.");
    EXPECT_EQ(SavedHash(), "");
    EXPECT_EQ(SavedModifiedTime(), kKeyFileTime);

    // So the next new time, even with the same contents, reloads.
    SetModifiedTime(primary_, kKeyFileTime + 1);
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 2);
    EXPECT_EQ(SavedHash().size(), 64u);
}

TEST_F(ReloadTest, MissingPrimaryFileCountsAsUnchanged)
{
    ASSERT_EQ(std::remove(primary_.c_str()), 0);
    ASSERT_EQ(CheckReload(0), 0);
    EXPECT_EQ(Resets(), 0);
    ExpectLine("Stat file failed.", 2, 25140, "ZORVA_CheckTimeStamp", "Stat file failed.");

    // A forced check still reloads, and saves the empty status it gathered.
    ASSERT_EQ(CheckReload(1), 0);
    EXPECT_EQ(Resets(), 1);
    EXPECT_EQ(SavedModifiedTime(), 0);
    EXPECT_EQ(SavedHash(), "");
}

TEST_F(ReloadTest, FailedResetReinitialisesUnderTheWriteHold)
{
    // The caller's own read hold on the exported lock is given up, so the
    // write hold is taken at once (not after the 30 s wait) and a reader
    // from another thread must wait until the re-initialisation is over.
    static std::atomic<int> readerBlocked;
    readerBlocked = -1;
    ZorvDouble_SetHook([](ZorvDoubleCall call) {
        if (call == ZORV_DOUBLE_INIT) {
            auto f = std::async(std::launch::async, [] {
                const int r = pthread_rwlock_tryrdlock(&g_stZorvaRealoadLock);
                if (r == 0) {
                    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
                }
                return r;
            });
            readerBlocked = f.get() == EBUSY ? 1 : 0;
        }
    });
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_QueueResult(ZORV_DOUBLE_FINALIZE, 6);
    ZorvDouble_QueueResult(ZORV_DOUBLE_INIT, 254);
    ASSERT_EQ(CheckReload(1), 0);
    EXPECT_EQ(readerBlocked.load(), 1);
    ZorvDouble_SetHook(nullptr);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_FINALIZE), 1);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_EQ(OnlyLine("Reload key file done, ret (%lu).").message, "Reload key file done, ret (1).");
    ExpectLine("Finalize zorv failed, err (%lu).", 2, 25140, "ZORVA_CheckReloadKeyFile",
               "Finalize zorv failed, err (6).");
    EXPECT_EQ(CountLines("Initialize zorv with key file failed, err (%lu)."), 0u);
    ZorvDoubleInitArgs args{};
    ASSERT_EQ(ZorvDouble_LastInitArgs(&args), 1);
    EXPECT_EQ(args.record, &g_pstZorvaFileName);
    EXPECT_STREQ(args.primary, primary_.c_str());
    EXPECT_EQ(args.flags, 0u);
    EXPECT_EQ(args.options, 0u);
    EXPECT_EQ(args.reserved, nullptr);
    EXPECT_EQ(g_bZorvaIsInit, 1);
}

TEST_F(ReloadTest, BothInitialisationsFailingGiveMinusOneAndLeaveTheLockAsFound)
{
    const std::string hash = SavedHash();
    RewritePrimary("key store, unreadable version", kKeyFileTime + 3);
    ZorvDouble_QueueResult(ZORV_DOUBLE_RESET, 1);
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 12);

    EXPECT_EQ(CheckReload(0), -1);
    EXPECT_FALSE(ReloadLockHeld());

    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 2);
    ExpectLine("Initialize zorv with key file failed, err (%lu).", 2, 25140, "ZORVA_CheckReloadKeyFile",
               "Initialize zorv with key file failed, err (12).");
    // The backup pair does not exist here, so the paths stay as they were.
    EXPECT_STREQ(g_szZorvaPriKeyFile, primary_.c_str());
    // Nothing saved, the agent still counts as initialised.
    EXPECT_EQ(SavedHash(), hash);
    EXPECT_EQ(SavedModifiedTime(), kKeyFileTime);
    EXPECT_EQ(g_bZorvaIsInit, 1);
}

TEST_F(ReloadTest, KeyFileDigestAndItsText)
{
    RewritePrimary("abc", kKeyFileTime + 1);
    unsigned char digest[40] = {};
    ASSERT_EQ(ZORVA_GetKeyFileSha256(digest, 40), 0);
    char hex[65] = {};
    for (int i = 0; i < 32; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    EXPECT_STREQ(hex, kAbcSha256);

    char text[ZORVA_SHA256_TEXT_LEN];
    std::memset(text, 'Z', sizeof text);
    EXPECT_EQ(ZORVA_Checksha256(text), 1);
    EXPECT_STREQ(text, kAbcSha256);
    const struct stat unchanged = g_stOldStat;
    ZORVA_SaveKeyFileStatus(&unchanged, text, sizeof text);
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(ZORVA_Checksha256(text), 0);

    // An empty file hashes too.
    RewritePrimary("", kKeyFileTime + 2);
    EXPECT_EQ(ZORVA_GetKeyFileSha256(digest, 32), 0);
    EXPECT_EQ(digest[0], 0xe3);

    RecorderA().Clear();
    EXPECT_EQ(ZORVA_GetKeyFileSha256(digest, 31), -1);
    ExpectLine("Value length error.", 2, 25140, "ZORVA_GetKeyFileSha256", "Value length error.");
    ASSERT_EQ(std::remove(primary_.c_str()), 0);
    EXPECT_EQ(ZORVA_GetKeyFileSha256(digest, 32), -1);
    ExpectLine("Open file path is fail.", 2, 25140, "ZORVA_GetKeyFileSha256", "Open file path is fail.");
    EXPECT_EQ(ZORVA_Checksha256(text), 0);
    ExpectLine("File (%s) not exist.", 2, 25140, "ZORVA_Checksha256", "File (" + primary_ + ") not exist.");
    struct stat st = {};
    EXPECT_EQ(ZORVA_CheckTimeStamp(&st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 0);
}

TEST_F(ReloadTest, SavingKeyFileStatus)
{
    struct stat st = {};
    st.st_mtim.tv_sec = 4242;
    char text[ZORVA_SHA256_TEXT_LEN] = "0123abcd";
    ZORVA_SaveKeyFileStatus(&st, text, sizeof text);
    EXPECT_EQ(SavedModifiedTime(), 4242);
    EXPECT_EQ(SavedHash(), "0123abcd");

    ZORVA_SaveKeyFileStatus(nullptr, text, sizeof text);
    ZORVA_SaveKeyFileStatus(&st, nullptr, sizeof text);
    EXPECT_EQ(CountLines("Update key file status failed."), 2u);
    EXPECT_EQ(RecorderA().WithFormat("Update key file status failed.")[0].code, 25089);

    // A length beyond the saved text's 256 bytes is refused, not written past
    // it; the record is still saved.
    char longText[300];
    std::memset(longText, 'f', sizeof longText);
    st.st_mtim.tv_sec = 4343;
    ZORVA_SaveKeyFileStatus(&st, longText, sizeof longText);
    ExpectLine("Memcpy_s sha256 failed.", 2, 25089, "ZORVA_SaveKeyFileStatus", "Memcpy_s sha256 failed.");
    EXPECT_EQ(SavedModifiedTime(), 4343);
    EXPECT_EQ(SavedHash(), "");
}

} // namespace
} // namespace zorva_test
