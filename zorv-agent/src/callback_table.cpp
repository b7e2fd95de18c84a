// The callback record handed to the key-management component, and the small
// callbacks that need no file of their own: process-lock stubs, UTC time,
// event notification and do-events.
#include <openssl/rand.h>

#include "agent_log.h"
#include "bounded.h"
#include "callbacks.h"

using namespace zorva;

extern "C" {

// Processes share no lock through the component: the process-lock slots hold
// these stubs, and the component's locking rests on the thread-lock slots.
int ZORVA_CallbackProLockCreate(void *)
{
    return QINT_TRUE;
}

void ZORVA_CallbackProLockDestroy(void *) {}

void ZORVA_CallbackProLockAdd(void *) {}

void ZORVA_CallbackProLockRelease(void *) {}

int ZORVA_CallbackGmTime(const time_t *calendarTime, struct tm *brokenDown)
{
    if (calendarTime == nullptr || brokenDown == nullptr) {
        return QINT_FALSE;
    }
    return gmtime_r(calendarTime, brokenDown) != nullptr ? QINT_TRUE : QINT_FALSE;
}

void ZORVA_RecvNotify(int32_t eventCode, const void *data, size_t length)
{
    if (data != nullptr) {
        ZORVA_LOG(ZORVA_LOG_EVENT, kCodeNotify, "ZORVA_RecvNotify", "ZORV event code(%d), lenth(%u).", eventCode,
                  static_cast<uint32_t>(length));
    }
}

void ZORVA_DoEvents(void)
{
    ZORVA_LOG(ZORVA_LOG_EVENT, kCodeDoEvents, "ZORVA_DoEvents", "ZORVA do events.");
}
}

namespace zorva {

void FillCallbackRecord()
{
    QintCallbacks &cb = g_pstZorvaCallBack;
    (void)memset_s(&cb, sizeof cb, 0, sizeof cb);
    cb.fileOpen = ZORVA_CallBackFopen;
    cb.fileClose = ZORVA_CallbackFclose;
    cb.fileRead = ZORVA_CallbackFread;
    cb.fileWrite = ZORVA_CallbackFwrite;
    cb.fileFlush = ZORVA_CallbackFflush;
    cb.fileRemove = ZORVA_CallbackRemove;
    cb.fileTell = ZORVA_CallbackFtell;
    cb.fileSeek = ZORVA_CallbackFseek;
    cb.fileEof = ZORVA_CallbackFeof;
    cb.fileError = ZORVA_CallbackFerror;
    cb.fileExist = ZORVA_CallbackFileExist;
    cb.lockCreate = ZORVA_CreateLock;
    cb.lockDestroy = ZORVA_DestroyLock;
    cb.lockAcquire = ZORVA_AddLock;
    cb.lockRelease = ZORVA_ReleaseLock;
    cb.procLockCreate = ZORVA_CallbackProLockCreate;
    cb.procLockDestroy = ZORVA_CallbackProLockDestroy;
    cb.procLockAcquire = ZORVA_CallbackProLockAdd;
    cb.procLockRelease = ZORVA_CallbackProLockRelease;
    cb.log = ZORVA_ZorvLog;
    cb.notify = ZORVA_RecvNotify;
    cb.doEvents = ZORVA_DoEvents;
    cb.randomBytes = RAND_bytes;
    cb.gmTime = ZORVA_CallbackGmTime;
}

} // namespace zorva
