// Test support for the crypto operations: an agent initialised on a pair of
// temporary key files through the stand-ins, with the key-file status
// already taken up, so a test starts with no reload pending, empty logs and
// zero call counts.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>

#include "log_recorder.h"
#include "mur_double_control.h"
#include "temp_dir.h"
#include "zorv_double_control.h"
#include "zorva_main.h"

namespace zorva_test {

inline constexpr time_t kKeyFileTime = 1700000000;

inline void SetModifiedTime(const std::string &path, time_t seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Back to the saved key-file status of a freshly loaded library.
inline void ForgetKeyFileStatus()
{
    pthread_rwlock_wrlock(&g_stZorvaStatusRwLock);
    std::memset(&g_stOldStat, 0, sizeof g_stOldStat);
    std::memset(g_sha256SumOld, 0, sizeof g_sha256SumOld);
    pthread_rwlock_unlock(&g_stZorvaStatusRwLock);
}

inline time_t SavedModifiedTime()
{
    pthread_rwlock_rdlock(&g_stZorvaStatusRwLock);
    const time_t t = g_stOldStat.st_mtim.tv_sec;
    pthread_rwlock_unlock(&g_stZorvaStatusRwLock);
    return t;
}

inline std::string SavedHash()
{
    pthread_rwlock_rdlock(&g_stZorvaStatusRwLock);
    std::string h(g_sha256SumOld, strnlen(g_sha256SumOld, sizeof g_sha256SumOld));
    pthread_rwlock_unlock(&g_stZorvaStatusRwLock);
    return h;
}

// True while some thread (this one included) holds the reload lock.
inline bool ReloadLockHeld()
{
    if (pthread_rwlock_trywrlock(&g_stZorvaRealoadLock) == 0) {
        pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        return false;
    }
    return true;
}

// The check as any caller outside the agent makes it: inside a read hold
// it took itself on the exported lock. The check must hand that hold back.
inline int CheckReload(uint32_t force)
{
    pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
    const int r = ZORVA_CheckReloadKeyFile(force);
    EXPECT_TRUE(ReloadLockHeld()) << "the caller's read hold was not given back";
    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    return r;
}

inline size_t CountLines(const std::string &format)
{
    return RecorderA().WithFormat(format).size();
}

// The one line of that format; fails the test when there is not exactly one.
inline LogLine OnlyLine(const std::string &format)
{
    const auto lines = RecorderA().WithFormat(format);
    EXPECT_EQ(lines.size(), 1u) << format;
    return lines.empty() ? LogLine{} : lines.front();
}

inline void ExpectLine(const std::string &format, int32_t level, int32_t code, const std::string &function,
                       const std::string &message)
{
    const LogLine l = OnlyLine(format);
    EXPECT_EQ(l.module, ZORVA_MODULE_ID) << format;
    EXPECT_EQ(l.level, level) << format;
    EXPECT_EQ(l.code, code) << format;
    EXPECT_EQ(l.function, function) << format;
    EXPECT_EQ(l.message, message) << format;
    EXPECT_GT(l.line, 0) << format;
}

inline void ResetStandIns()
{
    MurDouble_Reset();
    ZorvDouble_Reset();
}

class CryptoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetStandIns();
        if (g_bZorvaIsInit == 1) {
            (void)ZORVA_Finalize();
        }
        primary_ = dir_.Write("primary.dat", "key store, primary copy");
        standby_ = dir_.Write("standby.dat", "key store, standby copy");
        SetModifiedTime(primary_, kKeyFileTime);
        ASSERT_EQ(ZORVA_Init(LogToA, primary_.c_str(), standby_.c_str()), 0);
        ForgetKeyFileStatus();
        ASSERT_EQ(CheckReload(0), 0);
        ResetStandIns();
        RecorderA().Clear();
    }

    void TearDown() override
    {
        ResetStandIns();
        EXPECT_FALSE(ReloadLockHeld());
        if (g_bZorvaIsInit == 1) {
            (void)ZORVA_Finalize();
        }
        RecorderA().Clear();
    }

    // Rewrites the primary key file and gives it a modification time.
    void RewritePrimary(const std::string &content, time_t seconds)
    {
        dir_.Write("primary.dat", content);
        SetModifiedTime(primary_, seconds);
    }

    static int Resets() { return ZorvDouble_CallCount(ZORV_DOUBLE_RESET); }

    TempDir dir_;
    std::string primary_;
    std::string standby_;
};

} // namespace zorva_test
