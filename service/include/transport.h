/*
 * The daemon's transport: a Unix-domain stream socket in the abstract
 * namespace, named by DS_MINIO_UDS_NAME, one request and one response per
 * connection.
 *
 * Request:  64-byte head (ignored) + cipher text, 0..2047 bytes, written in
 *           one go; whatever one receive returns after the head is the text.
 * Response: 64-byte head whose bytes 0..3 hold the plain-text length L in
 *           network byte order and bytes 4..63 are zero, then L bytes of
 *           plain text (64 + L <= 1024). A failed request gets no byte: the
 *           connection is just closed.
 *
 * The socket name: the variable's value is copied into the 108-byte path and
 * its first character is replaced by the NUL that marks the abstract
 * namespace, so "@abc" (or any first character) binds to "\0abc".
 *
 * Every failure is logged with PrintLog before -1 is returned.
 */
#ifndef BRIM_TRANSPORT_H
#define BRIM_TRANSPORT_H

#include <sys/socket.h>
#include <sys/un.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BRIM_UDS_NAME_ENV "DS_MINIO_UDS_NAME"
#define BRIM_MSG_HEAD_LEN 64
#define BRIM_MAX_RESPONSE_LEN 1024
#define BRIM_MAX_PLAIN_LEN (BRIM_MAX_RESPONSE_LEN - BRIM_MSG_HEAD_LEN) /* 960 */
#define BRIM_ALLOWED_UID 1000
#define BRIM_LISTEN_BACKLOG 4
#define BRIM_SUN_PATH_LEN 108
/* How long one receive or send on an accepted connection may wait. */
#define BRIM_CONN_TIMEOUT_SECONDS 5

/* Creates, binds and listens. The listening descriptor, or -1. */
int BrimInitServer(void);

/* Binds sock to the abstract name from DS_MINIO_UDS_NAME and listens with a
 * backlog of 4. 0, or -1 (the caller closes sock). */
int BrimInitServerConf(int sock);

/* Fills addr with the abstract address for name and *addrLen with its
 * length (2 + strlen(name)). 0, or the code of strcpy_s when the name does
 * not fit the 108-byte path (108 characters or more: 162). Not logged. */
int BrimMakeAbstractAddress(const char *name, struct sockaddr_un *addr, socklen_t *addrLen);

/* Closes fd when it is 0 or more. */
void CloseSocket(int fd);

/* Gives an accepted connection a receive and a send time-out of
 * BRIM_CONN_TIMEOUT_SECONDS. 0, or -1. */
int BrimSetConnTimeouts(int fd);

/* Reads one request: admits only a peer running as user id 1000, reads and
 * drops the 64-byte head, then receives once into buf and NUL-terminates.
 * 0, or -1 when the peer is not admitted, a receive fails or times out, or
 * the data fill the whole buffer (size bytes or more). */
int BrimGetRequest(int fd, char *buf, int size);

/* Frames plainText (up to its NUL) and sends the whole frame, continuing
 * after partial writes. An empty text is answered with the head alone.
 * 0 when every byte was sent; -1 for a null text, a text over 960 bytes, or
 * a failed or timed-out send. The frame buffer is wiped before it is freed. */
int BrimSendResponse(int fd, const char *plainText);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_TRANSPORT_H */
