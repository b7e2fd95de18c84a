#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "agent_fixture.h"

namespace zorva_test {
namespace {

using LifecycleTest = AgentTest;

TEST_F(LifecycleTest, InitHandsTheComponentThePathRecordAndSucceeds)
{
    ASSERT_EQ(InitA(), 0);
    EXPECT_EQ(g_bZorvaIsInit, 1);
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
    EXPECT_STREQ(g_szZorvaPriKeyFile, primary_.c_str());
    EXPECT_STREQ(g_szZorvaStdKeyFile, standby_.c_str());
    EXPECT_NE(g_pZorvaLockCs, nullptr);

    ZorvDoubleInitArgs args{};
    ASSERT_EQ(ZorvDouble_LastInitArgs(&args), 1);
    EXPECT_EQ(args.record, &g_pstZorvaFileName);
    EXPECT_STREQ(args.primary, primary_.c_str());
    EXPECT_STREQ(args.standby, standby_.c_str());
    EXPECT_EQ(g_pstZorvaFileName.primaryFile, g_szZorvaPriKeyFile);
    EXPECT_EQ(g_pstZorvaFileName.standbyFile, g_szZorvaStdKeyFile);
    EXPECT_EQ(args.recordReserved, nullptr);
    EXPECT_EQ(args.flags, 0u);
    EXPECT_EQ(args.options, 0u);
    EXPECT_EQ(args.reserved, nullptr);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_REG), 1);
    EXPECT_EQ(ZorvDouble_RegisteredRecord(), &g_pstZorvaCallBack);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

TEST_F(LifecycleTest, SecondInitKeepsFirstPathsAndLogFunction)
{
    ASSERT_EQ(InitA(), 0);
    const std::string otherPrimary = dir_.Write("other_primary.dat", "x");
    const std::string otherStandby = dir_.Write("other_standby.dat", "y");
    EXPECT_EQ(ZORVA_Init(LogToB, otherPrimary.c_str(), otherStandby.c_str()), 0);

    EXPECT_STREQ(g_szZorvaPriKeyFile, primary_.c_str());
    EXPECT_STREQ(g_szZorvaStdKeyFile, standby_.c_str());
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_REG), 1);
    const auto lines = RecorderA().WithFormat("The process has been initialized.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].module, 559);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].code, 25137);
    EXPECT_EQ(lines[0].function, "ZORVA_InitMutexLockProtect");
    EXPECT_GT(lines[0].line, 0);
    EXPECT_TRUE(RecorderB().Lines().empty());
}

TEST_F(LifecycleTest, NullArgumentsAreRefusedInOrderThroughThePreviousLogFunction)
{
    // Nothing registered yet: refused, and no line goes anywhere.
    EXPECT_EQ(ZORVA_Init(nullptr, primary_.c_str(), standby_.c_str()), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(g_pfnZorvaLogIntf, nullptr);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_REG), 0);

    // A failed initialisation leaves its log function registered ...
    const std::string missing = dir_ / "missing.dat";
    EXPECT_EQ(ZORVA_Init(LogToA, primary_.c_str(), missing.c_str()), RET_ERR);
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
    RecorderA().Clear();

    // ... which reports the later argument checks, first failing one only.
    EXPECT_EQ(ZORVA_Init(nullptr, nullptr, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Init(LogToB, nullptr, nullptr), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZORVA_Init(LogToB, primary_.c_str(), nullptr), ZORVA_ERR_PARAMETER_INVALID);
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].format, "(ASSERTION FAILURE) logFunc is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
    EXPECT_EQ(lines[1].format, "(ASSERTION FAILURE) primaryKeyFile is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
    EXPECT_EQ(lines[2].format, "(ASSERTION FAILURE) standbyKeyFile is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
    for (const LogLine &l : lines) {
        EXPECT_EQ(l.level, 2);
        EXPECT_EQ(l.code, 25088);
        EXPECT_EQ(l.function, "ZORVA_InitMutexLockProtect");
    }
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
    EXPECT_TRUE(RecorderB().Lines().empty());
}

TEST_F(LifecycleTest, PathOf127CharactersIsAcceptedAnd128Refused)
{
    auto pathOfLength = [&](size_t length, const std::string &leaf) {
        std::string p = dir_.Path() + "/";
        const size_t fill = length - p.size() - leaf.size();
        p += std::string(fill, 'p') + leaf;
        EXPECT_EQ(p.size(), length);
        return dir_.Write(p.substr(dir_.Path().size() + 1), "k");
    };
    ASSERT_LT(dir_.Path().size(), 100u);
    const std::string p127 = pathOfLength(127, "a");
    const std::string s127 = pathOfLength(127, "b");
    const std::string p128 = pathOfLength(128, "a");

    EXPECT_EQ(ZORVA_Init(LogToA, p127.c_str(), s127.c_str()), 0);
    EXPECT_STREQ(g_szZorvaPriKeyFile, p127.c_str());
    EXPECT_STREQ(g_szZorvaStdKeyFile, s127.c_str());
    ASSERT_EQ(ZORVA_Finalize(), 0);

    EXPECT_EQ(ZORVA_Init(LogToA, p128.c_str(), s127.c_str()), RET_ERR);
    auto tooLong = RecorderA().WithFormat("The primary file (%s) or standby file (%s) is too lenth.");
    ASSERT_EQ(tooLong.size(), 1u);
    EXPECT_EQ(tooLong[0].function, "ZORVA_PreInit");
    EXPECT_EQ(tooLong[0].code, 25137);
    EXPECT_EQ(tooLong[0].message, "The primary file (" + p128 + ") or standby file (" + s127 + ") is too lenth.");
    EXPECT_EQ(g_bZorvaIsInit, 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);

    // Existence is tested before length.
    RecorderA().Clear();
    const std::string missing = dir_ / "missing_standby.dat";
    EXPECT_EQ(ZORVA_Init(LogToA, p128.c_str(), missing.c_str()), RET_ERR);
    EXPECT_TRUE(RecorderA().Has("The primary file (%s) or standby file (%s) not exist."));
    EXPECT_FALSE(RecorderA().Has("The primary file (%s) or standby file (%s) is too lenth."));
}

TEST_F(LifecycleTest, MissingStandbyFails)
{
    const std::string missing = dir_ / "missing_standby.dat";
    EXPECT_EQ(ZORVA_Init(LogToA, primary_.c_str(), missing.c_str()), RET_ERR);
    const auto lines = RecorderA().WithFormat("The primary file (%s) or standby file (%s) not exist.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "The primary file (" + primary_ + ") or standby file (" + missing + ") not exist.");
    EXPECT_EQ(g_bZorvaIsInit, 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_REG), 1);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
}

TEST_F(LifecycleTest, ComponentResultsDecideInitialisation)
{
    // 254 is a usable store.
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 254);
    EXPECT_EQ(InitA(), 0);
    EXPECT_EQ(g_bZorvaIsInit, 1);
    EXPECT_NE(g_pZorvaLockCs, nullptr);
    ASSERT_EQ(ZORVA_Finalize(), 0);

    // Anything else is a failure, logged with its value.
    ZorvDouble_SetResult(ZORV_DOUBLE_INIT, 253);
    EXPECT_EQ(InitA(), RET_ERR);
    auto lines = RecorderA().WithFormat("Initialize zorv with key file failed, err (%lu).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Initialize zorv with key file failed, err (253).");
    EXPECT_EQ(lines[0].code, 25140);
    EXPECT_EQ(g_bZorvaIsInit, 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);

    // Registration refused: the store is not even asked to load.
    RecorderA().Clear();
    ZorvDouble_Reset();
    ZorvDouble_SetResult(ZORV_DOUBLE_REG, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(InitA(), RET_ERR);
    lines = RecorderA().WithFormat("Register callback function failed, err (%lu).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Register callback function failed, err (18446744073709551615).");
    EXPECT_EQ(lines[0].function, "ZORVA_InitReg");
    EXPECT_EQ(lines[0].code, 25139);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
}

TEST_F(LifecycleTest, FinaliseTwiceAndFinaliseFailure)
{
    ASSERT_EQ(InitA(), 0);
    ZorvDouble_SetResult(ZORV_DOUBLE_FINALIZE, 3);
    EXPECT_EQ(ZORVA_Finalize(), RET_ERR);
    auto lines = RecorderA().WithFormat("Finalize zorv failed, err (%lu).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].code, 25145);
    // Still initialised, paths and log function kept, crypto-library lock gone.
    EXPECT_EQ(g_bZorvaIsInit, 1);
    EXPECT_EQ(g_pfnZorvaLogIntf, &LogToA);
    EXPECT_STREQ(g_szZorvaPriKeyFile, primary_.c_str());
    EXPECT_EQ(g_pZorvaLockCs, nullptr);

    ZorvDouble_SetResult(ZORV_DOUBLE_FINALIZE, 0);
    EXPECT_EQ(ZORVA_Finalize(), 0);
    lines = RecorderA().WithFormat("Finialize zorva succeed.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].code, 25152);
    EXPECT_EQ(g_bZorvaIsInit, 0);
    EXPECT_EQ(g_pfnZorvaLogIntf, nullptr);
    EXPECT_EQ(g_szZorvaPriKeyFile[0], '\0');
    EXPECT_EQ(g_szZorvaStdKeyFile[0], '\0');
    EXPECT_EQ(g_pstZorvaFileName.primaryFile, nullptr);
    EXPECT_EQ(g_pstZorvaFileName.standbyFile, nullptr);
    // The record stays as registered.
    EXPECT_NE(g_pstZorvaCallBack.fileOpen, nullptr);

    EXPECT_EQ(ZORVA_Finalize(), ZORVA_ERR_FINALIZED);
    // No log function any more: the line is dropped.
    EXPECT_FALSE(RecorderA().Has("The process has been finalized."));

    // Re-initialising after a finalise works, as the executables do per request.
    EXPECT_EQ(InitA(), 0);
    EXPECT_EQ(ZORVA_Finalize(), 0);
}

TEST_F(LifecycleTest, FinaliseWhileNotInitialisedLogsThroughFailedInitLogFunction)
{
    const std::string missing = dir_ / "missing.dat";
    EXPECT_EQ(ZORVA_Init(LogToA, missing.c_str(), standby_.c_str()), RET_ERR);
    EXPECT_EQ(ZORVA_Finalize(), ZORVA_ERR_FINALIZED);
    const auto lines = RecorderA().WithFormat("The process has been finalized.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].code, 25137);
    EXPECT_EQ(lines[0].function, "ZORVA_Finalize");
}

TEST_F(LifecycleTest, ResetNeedsAnInitialisedAgentAndReportsTheComponent)
{
    EXPECT_EQ(ZORVA_Reset(), ZORVA_ERR_NOT_INITIALIZED);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_RESET), 0);

    ASSERT_EQ(InitA(), 0);
    EXPECT_EQ(ZORVA_Reset(), 0);
    auto lines = RecorderA().WithFormat("Reload key file succeed.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].code, 25089);

    ZorvDouble_SetResult(ZORV_DOUBLE_RESET, 12);
    EXPECT_EQ(ZORVA_Reset(), RET_ERR);
    lines = RecorderA().WithFormat("Reload key file failed, err (%llu).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Reload key file failed, err (12).");
    EXPECT_EQ(g_bZorvaIsInit, 1);
}

TEST_F(LifecycleTest, CheckInitialAfterFinaliseRefusesWithoutTouchingFiles)
{
    EXPECT_EQ(ZORVA_CheckInitial(), ZORVA_ERR_PARAMETER_INVALID);
    ASSERT_EQ(InitA(), 0);
    EXPECT_EQ(ZORVA_CheckInitial(), 0);
    ASSERT_EQ(ZORVA_Finalize(), 0);
    RecorderA().Clear();

    EXPECT_EQ(ZORVA_CheckInitial(), ZORVA_ERR_PARAMETER_INVALID);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_REG), 1);
    EXPECT_TRUE(RecorderA().Lines().empty());
    EXPECT_EQ(g_bZorvaIsInit, 0);
}

TEST_F(LifecycleTest, CheckInitialUsesTheLogFunctionOfAFailedInit)
{
    const std::string missing = dir_ / "missing.dat";
    ASSERT_EQ(ZORVA_Init(LogToA, missing.c_str(), standby_.c_str()), RET_ERR);
    RecorderA().Clear();
    // The fixed locations do not exist outside the private namespace.
    EXPECT_NE(ZORVA_CheckInitial(), 0);
    const auto lines = RecorderA().Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].format, "The process has not been initialized.");
    EXPECT_EQ(lines[0].function, "ZORVA_CheckInitial");
    EXPECT_EQ(lines[0].code, 0);
    EXPECT_EQ(lines[0].level, 2);
}

TEST_F(LifecycleTest, ConcurrentInitsInitialiseOnce)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            if (InitA() != 0 || ZORVA_CheckInitial() != 0) {
                ++failures;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_EQ(RecorderA().WithFormat("The process has been initialized.").size(), 3u);
}

std::atomic<bool> g_releaseInit{false};
std::atomic<bool> g_insideInit{false};

void BlockInsideInit(ZorvDoubleCall call)
{
    if (call != ZORV_DOUBLE_INIT) {
        return;
    }
    // The component can log through the record while it loads.
    char message[] = "loading </keys>";
    ZorvDouble_EmitLog(2, "store.c", "Load", 7, message);
    g_insideInit = true;
    while (!g_releaseInit) {
        std::this_thread::yield();
    }
}

TEST_F(LifecycleTest, InitWaitsForAnInitialisationInProgress)
{
    g_releaseInit = false;
    g_insideInit = false;
    ZorvDouble_SetHook(BlockInsideInit);
    std::thread first([&] { EXPECT_EQ(InitA(), 0); });
    while (!g_insideInit) {
        std::this_thread::yield();
    }
    std::atomic<int> second{-2};
    std::thread waiter([&] { second = ZORVA_Init(LogToB, primary_.c_str(), standby_.c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(second.load(), -2);
    g_releaseInit = true;
    first.join();
    waiter.join();
    EXPECT_EQ(second.load(), 0);
    EXPECT_EQ(ZorvDouble_CallCount(ZORV_DOUBLE_INIT), 1);
    EXPECT_EQ(RecorderA().WithFormat("The process has been initialized.").size(), 1u);
    EXPECT_TRUE(RecorderB().Lines().empty());
    const auto forwarded = RecorderA().WithFormat("%d,%s,%s,%d,%s.");
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].message, "2,store.c,Load,7,loading -|keys+.");
}

TEST_F(LifecycleTest, ComponentReadsTheKeyFilesThroughTheRecord)
{
    ZorvDouble_SetReadFilesOnInit(1);
    EXPECT_EQ(InitA(), 0);
}

TEST_F(LifecycleTest, CallbackRecordSlotBySlot)
{
    ASSERT_EQ(InitA(), 0);
    QintCallbacks cb{};
    ASSERT_EQ(ZorvDouble_RegisteredCopy(&cb), 1);
    void *slots[QINT_CALLBACK_SLOTS];
    static_assert(sizeof slots == sizeof cb);
    std::memcpy(slots, &cb, sizeof slots);
    for (int i : {0, 1, 2, 26, 27, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40}) {
        EXPECT_EQ(slots[i], nullptr) << "slot " << i;
    }
    for (int i = 3; i <= 25; ++i) {
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    }
    EXPECT_NE(slots[28], nullptr);
    EXPECT_EQ(cb.lockCreate, &ZORVA_CreateLock);
    EXPECT_EQ(cb.lockDestroy, &ZORVA_DestroyLock);
    EXPECT_EQ(cb.lockAcquire, &ZORVA_AddLock);
    EXPECT_EQ(cb.lockRelease, &ZORVA_ReleaseLock);
    EXPECT_EQ(cb.log, &ZORVA_ZorvLog);
    EXPECT_EQ(cb.notify, &ZORVA_RecvNotify);
    EXPECT_EQ(cb.doEvents, &ZORVA_DoEvents);
    EXPECT_EQ(cb.randomBytes, &RAND_bytes);
    // The semaphore locks are exported but not registered.
    EXPECT_NE(reinterpret_cast<void *>(cb.procLockAcquire), reinterpret_cast<void *>(&ZORVA_AddProLock));
    EXPECT_NE(reinterpret_cast<void *>(cb.procLockRelease), reinterpret_cast<void *>(&ZORVA_ReleaseProLock));
    EXPECT_NE(reinterpret_cast<void *>(cb.procLockDestroy), reinterpret_cast<void *>(&ZORVA_DestroyProLock));
}

} // namespace
} // namespace zorva_test
