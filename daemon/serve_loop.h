// The daemon's serve loop.
#ifndef BRIM_SERVE_LOOP_H
#define BRIM_SERVE_LOOP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Serves listenFd for ever: accepts, admits peers running as user id 1000
 * (others are closed at once), reads up to 256 requests side by side, each
 * connection within 5 s of its accept, decrypts the complete ones one at a
 * time through recvBuf and sendBuf, answers and closes. Both buffers are
 * wiped after every request. Reports readiness to a service manager once it
 * serves. Never returns; exits with status 255 when the loop cannot be set
 * up (logged). */
__attribute__((noreturn)) void StartServer(int listenFd, char *recvBuf, int recvLen, char *sendBuf, int sendLen);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_SERVE_LOOP_H */
