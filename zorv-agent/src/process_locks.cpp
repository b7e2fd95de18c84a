// Process locks on System V semaphores: the handle points to a 32-bit
// semaphore-set id; the lock is semaphore 0 of the set. SEM_UNDO makes the
// kernel give the lock back when the holding process ends.
#include <cerrno>
#include <sys/sem.h>

#include "agent_log.h"
#include "zorva_main.h"

using namespace zorva;

namespace {

// One operation on semaphore 0, restarted when a signal interrupts the wait
// (a caller that goes on after a failed acquire would run without the lock).
bool SemOp(int32_t semId, short delta)
{
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = SEM_UNDO;
    int r;
    do {
        r = semop(semId, &op, 1);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

} // namespace

extern "C" {

void ZORVA_AddProLock(void *semId)
{
    if (semId == nullptr) {
        return;
    }
    const int32_t id = *static_cast<const int32_t *>(semId);
    if (!SemOp(id, -1)) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeProcLockAcquire, "ZORVA_AddProLock", "Add sem proc lock(%d) failed.", id);
    }
}

void ZORVA_ReleaseProLock(void *semId)
{
    if (semId == nullptr) {
        return;
    }
    const int32_t id = *static_cast<const int32_t *>(semId);
    if (!SemOp(id, 1)) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeProcLockRelease, "ZORVA_ReleaseProLock", "Release sem proc lock(%d) failed.", id);
    }
}

void ZORVA_DestroyProLock(void *semId)
{
    if (semId != nullptr && *static_cast<const int32_t *>(semId) >= 0) {
        ZORVA_MemClearFree(semId, sizeof(int32_t));
    }
}
}
