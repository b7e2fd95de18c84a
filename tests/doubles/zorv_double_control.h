/*
 * Script and inspect the stand-in key-management component (lib/doubles/
 * libZORV.so). Every Qint call answers 0 until scripted, counts its calls and
 * records what it was handed. Thread-safe; ZorvDouble_Reset puts everything
 * back to the state at load.
 */
#ifndef ZORV_DOUBLE_CONTROL_H
#define ZORV_DOUBLE_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZORV_DOUBLE_API __attribute__((visibility("default")))

typedef enum ZorvDoubleCall {
    ZORV_DOUBLE_REG = 0,      /* QintRegFuncEx */
    ZORV_DOUBLE_INIT = 1,     /* QintInitializeEx */
    ZORV_DOUBLE_RESET = 2,    /* QintResetEx */
    ZORV_DOUBLE_FINALIZE = 3, /* QintFinalizeEx */
    ZORV_DOUBLE_CALL_COUNT = 4
} ZorvDoubleCall;

/* Results back to 0, counts to 0, records cleared, hook removed. */
ZORV_DOUBLE_API void ZorvDouble_Reset(void);

/* Result of every later call of that kind. */
ZORV_DOUBLE_API void ZorvDouble_SetResult(ZorvDoubleCall call, uint64_t result);
/* Result of the next call of that kind only (queued before the persistent one,
 * up to 8 per kind). */
ZORV_DOUBLE_API void ZorvDouble_QueueResult(ZorvDoubleCall call, uint64_t result);
ZORV_DOUBLE_API int ZorvDouble_CallCount(ZorvDoubleCall call);

/* When on, QintInitializeEx reads both key files through the registered
 * callbacks (exist, open mode 0, read, eof, close) and answers 1 if either
 * cannot be read, before any scripted result applies. */
ZORV_DOUBLE_API void ZorvDouble_SetReadFilesOnInit(int on);

/* Called inside QintInitializeEx and QintResetEx, after the counts, with the
 * call kind (to have the component call back into the agent). */
ZORV_DOUBLE_API void ZorvDouble_SetHook(void (*hook)(ZorvDoubleCall call));

/* The record pointer passed to the last QintRegFuncEx (null if none) and a
 * copy of the record as it was at that moment. */
ZORV_DOUBLE_API const QintCallbacks *ZorvDouble_RegisteredRecord(void);
ZORV_DOUBLE_API int ZorvDouble_RegisteredCopy(QintCallbacks *out);

/* What the last QintInitializeEx was handed: the record pointer, copies of
 * the two paths (empty if null), the record's third field, and the three
 * other arguments. */
typedef struct ZorvDoubleInitArgs {
    const QintKeyFileName *record;
    char primary[256];
    char standby[256];
    const void *recordReserved;
    uint32_t flags;
    uint32_t options;
    const void *reserved;
} ZorvDoubleInitArgs;
ZORV_DOUBLE_API int ZorvDouble_LastInitArgs(ZorvDoubleInitArgs *out);

/* 1 between a successful QintInitializeEx and the next successful
 * QintFinalizeEx. */
ZORV_DOUBLE_API int ZorvDouble_IsLoaded(void);

/* Sends one log line through the registered record's log slot, as the
 * component would (the message buffer is writable and may be changed).
 * Does nothing without a registered record or log slot. */
ZORV_DOUBLE_API void ZorvDouble_EmitLog(int level, const char *text1, const char *text2, int number, char *message);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_DOUBLE_CONTROL_H */
