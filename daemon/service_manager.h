// The daemon under a service manager: a listening socket passed to it
// (socket activation) and the readiness report.
#ifndef BRIM_SERVICE_MANAGER_H
#define BRIM_SERVICE_MANAGER_H

#ifdef __cplusplus
extern "C" {
#endif

#define BRIM_NO_PASSED_SOCKET (-2)

/* The socket passed by the service manager (LISTEN_FDS), once it is checked
 * to be a listening AF_UNIX stream socket bound to the abstract name of
 * DS_MINIO_UDS_NAME. BRIM_NO_PASSED_SOCKET when none was passed; -1 (logged,
 * passed descriptors closed) when the passed socket is not that one or not
 * the only one. The LISTEN_ variables are removed from the environment. */
int BrimTakePassedSocket(void);

/* Tells the service manager the daemon serves (READY=1); nothing without
 * one. */
void BrimNotifyReady(void);

/* How often to tell the service manager the daemon is alive: half the
 * watchdog time it set for this process (WATCHDOG_USEC), in milliseconds;
 * 0 when it watches none. */
long long BrimWatchdogPingMillis(void);

/* Tells the service manager the daemon is alive (WATCHDOG=1). */
void BrimNotifyWatchdog(void);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_SERVICE_MANAGER_H */
