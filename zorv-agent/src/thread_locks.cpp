// Thread locks for the key-management component: one heap block holding one
// plain mutex per lock.
#include <cstring>

#include "agent_log.h"
#include "zorva_main.h"

using namespace zorva;

namespace {

pthread_mutex_t *Mutex(void *handle)
{
    return static_cast<pthread_mutex_t *>(handle);
}

} // namespace

extern "C" {

int ZORVA_CreateLock(void **phMutex)
{
    if (phMutex == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CreateLock",
                  "(ASSERTION FAILURE) phMutex is NULL, return(QINT_FALSE).");
        return QINT_FALSE;
    }
    void *block = ZORVA_MemAlloc(sizeof(pthread_mutex_t));
    if (block == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLockAlloc, "ZORVA_CreateLock", "Alloc zorva thread lock failed.");
        return QINT_FALSE;
    }
    const int r = pthread_mutex_init(Mutex(block), nullptr);
    if (r != 0) {
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLockInit, "ZORVA_CreateLock", "Init zorva thread lock failed, err(%s).",
                  strerror_r(r, text, sizeof text));
        ZORVA_MemClearFree(block, sizeof(pthread_mutex_t));
        return QINT_FALSE;
    }
    *phMutex = block;
    return QINT_TRUE;
}

void ZORVA_DestroyLock(void *hMutex)
{
    if (hMutex == nullptr) {
        return;
    }
    const int r = pthread_mutex_destroy(Mutex(hMutex));
    if (r != 0) {
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLockDestroy, "ZORVA_DestroyLock", "Destory zorva thread lock failed, err(%s).",
                  strerror_r(r, text, sizeof text));
    }
    ZORVA_MemClearFree(hMutex, sizeof(pthread_mutex_t));
}

void ZORVA_AddLock(void *hMutex)
{
    if (hMutex == nullptr) {
        return;
    }
    const int r = pthread_mutex_lock(Mutex(hMutex));
    if (r != 0) {
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLockAcquire, "ZORVA_AddLock", "Add zorva thread lock failed, err(%s).",
                  strerror_r(r, text, sizeof text));
    }
}

void ZORVA_ReleaseLock(void *hMutex)
{
    if (hMutex == nullptr) {
        return;
    }
    const int r = pthread_mutex_unlock(Mutex(hMutex));
    if (r != 0) {
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLockRelease, "ZORVA_ReleaseLock", "Release zorva thread lock failed, err(%s).",
                  strerror_r(r, text, sizeof text));
    }
}
}
