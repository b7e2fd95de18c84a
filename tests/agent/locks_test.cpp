#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/sem.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "agent_fixture.h"

namespace zorva_test {
namespace {

class LocksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAgent();
        g_pfnZorvaLogIntf = LogToA;
    }
    void TearDown() override { ResetAgent(); }
};

TEST_F(LocksTest, ThreadLockCreateUseDestroy)
{
    EXPECT_EQ(ZORVA_CreateLock(nullptr), QINT_FALSE);
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].format, "(ASSERTION FAILURE) phMutex is NULL, return(QINT_FALSE).");
    EXPECT_EQ(lines[0].code, 25088);
    EXPECT_EQ(lines[0].function, "ZORVA_CreateLock");
    RecorderA().Clear();

    void *lock = nullptr;
    ASSERT_EQ(ZORVA_CreateLock(&lock), QINT_TRUE);
    ASSERT_NE(lock, nullptr);

    // The lock excludes: two threads add to a plain counter under it.
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            ZORVA_AddLock(lock);
            ++counter;
            ZORVA_ReleaseLock(lock);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    ZORVA_DestroyLock(lock);

    // Null handles are ignored silently.
    ZORVA_AddLock(nullptr);
    ZORVA_ReleaseLock(nullptr);
    ZORVA_DestroyLock(nullptr);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

class Semaphore {
public:
    Semaphore() : id_(semget(IPC_PRIVATE, 1, IPC_CREAT | 0600))
    {
        if (id_ >= 0) {
            semctl(id_, 0, SETVAL, 1);
        }
    }
    ~Semaphore()
    {
        if (id_ >= 0) {
            semctl(id_, 0, IPC_RMID);
        }
    }
    int Id() const { return id_; }
    int Value() const { return semctl(id_, 0, GETVAL); }

private:
    int id_;
};

TEST_F(LocksTest, ProcessLockOnASystemVSemaphore)
{
    Semaphore sem;
    ASSERT_GE(sem.Id(), 0);
    int32_t id = sem.Id();
    ZORVA_AddProLock(&id);
    EXPECT_EQ(sem.Value(), 0);
    ZORVA_ReleaseProLock(&id);
    EXPECT_EQ(sem.Value(), 1);

    // A process that ends holding the lock gives it back through SEM_UNDO.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ZORVA_AddProLock(&id);
        _exit(semctl(id, 0, GETVAL) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sem.Value(), 1);

    // The lock blocks a second holder until released.
    ZORVA_AddProLock(&id);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        int32_t sameId = sem.Id();
        ZORVA_AddProLock(&sameId);
        got = true;
        ZORVA_ReleaseProLock(&sameId);
    });
    usleep(50000);
    EXPECT_FALSE(got.load());
    ZORVA_ReleaseProLock(&id);
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_TRUE(RecorderA().Lines().empty());

    ZORVA_AddProLock(nullptr);
    ZORVA_ReleaseProLock(nullptr);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

TEST_F(LocksTest, ProcessLockFailuresAreLoggedWithTheId)
{
    int32_t gone = -1;
    {
        Semaphore sem;
        gone = sem.Id();
    }
    ZORVA_AddProLock(&gone);
    ZORVA_ReleaseProLock(&gone);
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Add sem proc lock(" + std::to_string(gone) + ") failed.");
    EXPECT_EQ(lines[0].code, 25121);
    EXPECT_EQ(lines[0].function, "ZORVA_AddProLock");
    EXPECT_EQ(lines[1].message, "Release sem proc lock(" + std::to_string(gone) + ") failed.");
    EXPECT_EQ(lines[1].code, 25122);
}

TEST_F(LocksTest, DestroyProLockFreesOnlyHandlesWithAnId)
{
    // Freed handles are checked by the leak checker of the asan build.
    for (int32_t value : {0, 5}) {
        auto *handle = static_cast<int32_t *>(std::malloc(sizeof(int32_t)));
        ASSERT_NE(handle, nullptr);
        *handle = value;
        ZORVA_DestroyProLock(handle);
    }
    auto *negative = static_cast<int32_t *>(std::malloc(sizeof(int32_t)));
    ASSERT_NE(negative, nullptr);
    *negative = -1;
    ZORVA_DestroyProLock(negative);
    EXPECT_EQ(*negative, -1);
    std::free(negative);
    ZORVA_DestroyProLock(nullptr);
}

TEST_F(LocksTest, CryptoLibraryLockSetupAndClearUp)
{
    ASSERT_EQ(ZORVA_ZorvThreadSetup(), 0);
    ASSERT_NE(g_pZorvaLockCs, nullptr);
    ZORVA_ZorvThreadLockingCallback(1, 0, __FILE__, __LINE__);
    EXPECT_EQ(pthread_mutex_trylock(g_pZorvaLockCs), EBUSY);
    ZORVA_ZorvThreadLockingCallback(0, 0, __FILE__, __LINE__);
    ASSERT_EQ(pthread_mutex_trylock(g_pZorvaLockCs), 0);
    ASSERT_EQ(pthread_mutex_unlock(g_pZorvaLockCs), 0);
    // A lock number outside the array is ignored.
    ZORVA_ZorvThreadLockingCallback(1, 1, nullptr, 0);
    ZORVA_ZorvThreadLockingCallback(1, -1, nullptr, 0);
    ZORVA_ZorvThreadId(nullptr);

    EXPECT_EQ(ZORVA_ZorvThreadClearUp(), 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
    EXPECT_EQ(ZORVA_ZorvThreadClearUp(), 0);
    EXPECT_EQ(g_pZorvaLockCs, nullptr);
    ZORVA_ZorvThreadLockingCallback(1, 0, nullptr, 0);
    EXPECT_TRUE(RecorderA().Lines().empty());
}

} // namespace
} // namespace zorva_test
