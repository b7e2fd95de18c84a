// Internal to the agent: the callbacks that reach the key-management
// component only through the callback record.
#pragma once

#include <cstddef>
#include <ctime>

#include "zorva_main.h"

extern "C" {
void *ZORVA_CallBackFopen(const char *path, int mode);
int ZORVA_CallbackFclose(void *stream);
int ZORVA_CallbackFread(void *buffer, size_t length, void *stream);
int ZORVA_CallbackFwrite(const void *data, size_t length, void *stream);
int ZORVA_CallbackFflush(void *stream);
int ZORVA_CallbackRemove(const char *path);
long ZORVA_CallbackFtell(void *stream);
long ZORVA_CallbackFseek(void *stream, long offset, int whence);
int ZORVA_CallbackFeof(void *stream, int *isEof);
int ZORVA_CallbackFerror(void *stream);
int ZORVA_CallbackFileExist(const char *path);
int ZORVA_CallbackProLockCreate(void *lock);
void ZORVA_CallbackProLockDestroy(void *lock);
void ZORVA_CallbackProLockAdd(void *lock);
void ZORVA_CallbackProLockRelease(void *lock);
int ZORVA_CallbackGmTime(const time_t *calendarTime, struct tm *brokenDown);
}

namespace zorva {

// Zeroes g_pstZorvaCallBack and fills the slots the agent serves.
void FillCallbackRecord();

} // namespace zorva
