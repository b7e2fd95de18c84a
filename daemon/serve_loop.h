// The daemon's serve loop.
#ifndef BRIM_SERVE_LOOP_H
#define BRIM_SERVE_LOOP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Serves one connection after another on listenFd for ever: accept, read
 * one request into recvBuf, decrypt into sendBuf, answer, close. Both
 * buffers are cleared before use and after every answer. Never returns. */
__attribute__((noreturn)) void StartServer(int listenFd, char *recvBuf, int recvLen, char *sendBuf, int sendLen);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_SERVE_LOOP_H */
