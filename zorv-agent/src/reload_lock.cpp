// The reload lock's holds, counted per thread (see reload_lock.h).
#include "reload_lock.h"

#include "agent_log.h"
#include "lifecycle.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace zorva {
namespace {

// Nesting depth of this thread's read holds; one real hold while above 0.
thread_local unsigned t_readDepth = 0;
// This thread holds the lock in write mode.
thread_local bool t_writer = false;

int TakeWrite()
{
    timespec deadline{};
    (void)clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kReloadWriteWaitSeconds;
    const int r = pthread_rwlock_timedwrlock(&g_stZorvaRealoadLock, &deadline);
    t_writer = r == 0;
    return r;
}

void GiveWrite()
{
    t_writer = false;
    (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
}

} // namespace

ReloadReadHold::ReloadReadHold() : counted_(false)
{
    if (t_writer) {
        return;
    }
    if (t_readDepth == 0 && pthread_rwlock_rdlock(&g_stZorvaRealoadLock) != 0) {
        return;
    }
    ++t_readDepth;
    counted_ = true;
}

ReloadReadHold::~ReloadReadHold()
{
    if (counted_ && --t_readDepth == 0) {
        (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    }
}

ReloadWriteHold::ReloadWriteHold()
{
    if (t_writer || t_readDepth != 0) {
        error_ = EDEADLK;
        return;
    }
    error_ = TakeWrite();
    held_ = error_ == 0;
}

ReloadWriteHold::~ReloadWriteHold()
{
    if (held_) {
        GiveWrite();
    }
}

ReloadExclusivePhase::ReloadExclusivePhase(unsigned pauseSeconds)
{
    if (t_writer) {
        exclusive_ = true;
        return;
    }
    // The caller's read hold: one of ours (counted), or one it took on the
    // exported lock itself. Either way it is one real hold of this thread.
    savedDepth_ = t_readDepth;
    t_readDepth = 0;
    (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
    released_ = true;
    // Let the operations of other threads drain.
    (void)sleep(pauseSeconds);
    error_ = TakeWrite();
    owns_ = exclusive_ = error_ == 0;
}

ReloadExclusivePhase::~ReloadExclusivePhase()
{
    if (owns_) {
        GiveWrite();
    }
    if (released_) {
        (void)pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
        t_readDepth = savedDepth_;
    }
}

bool InitialisedForRawCall(const char *function)
{
    if (IsInitialised()) {
        return true;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, function, "The process has not been initialized.");
    return false;
}

} // namespace zorva
