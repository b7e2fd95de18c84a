/*
 * For the programs that hold keys (the daemon, the encryption tool, the key
 * tool): called first thing in main.
 */
#ifndef ZORV_PROCESS_H
#define ZORV_PROCESS_H

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Turns core dumps off for this process: PR_SET_DUMPABLE 0 (no core image,
 * no ptrace attach and /proc/self/mem for other processes of the same user)
 * and RLIMIT_CORE 0. 0 when both took effect, else -1 (errno says why). */
ZORV_API int QintNoCoreDumpsEx(void);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_PROCESS_H */
