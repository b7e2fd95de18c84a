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
/* Connections the kernel queues before the daemon accepts them. The daemon
 * accepts at once and keeps up to 256 open itself, so the queue only has to
 * absorb bursts between two turns of its event loop. */
#define BRIM_LISTEN_BACKLOG 256
#define BRIM_SUN_PATH_LEN 108
/* How long one receive or send on a blocking connection may wait; the
 * daemon's event loop gives each connection this long from accept for its
 * whole request and response. */
#define BRIM_CONN_TIMEOUT_SECONDS 5

/* Results of one step on a connection (BrimRecvHeadStep and the like). */
#define BRIM_STEP_DONE 0
#define BRIM_STEP_WAIT 1    /* nothing to do until the socket is ready */
#define BRIM_STEP_FAILED (-1) /* logged; the caller closes the connection */

/* Where a connection stands; names the line logged when its time runs out. */
#define BRIM_PHASE_HEAD 0
#define BRIM_PHASE_DATA 1
#define BRIM_PHASE_SEND 2

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
 * the data fill the whole buffer (size bytes or more). For a blocking
 * socket; the steps below are its parts. */
int BrimGetRequest(int fd, char *buf, int size);

/* Fills *peer with the peer's credentials, all zero (root) when they cannot
 * be read. 0 when the peer runs as user id 1000, else -1. Not logged. */
int BrimCheckPeer(int fd, struct ucred *peer);

/* "connect from unallow client uid{N}." and, for refusals that were not
 * shown one by one, a line with their count. */
void BrimLogRefusedPeer(int uid);
void BrimLogRefusalsNotShown(int uid, unsigned count);

/* One receive of at most 64 bytes of head, dropped. DONE whatever arrived
 * (0 bytes when the peer closed), WAIT when the socket has nothing yet (or a
 * blocking socket timed out), FAILED on an error. */
int BrimRecvHeadStep(int fd);

/* One receive of the data into buf, NUL-terminated. DONE (0 bytes when the
 * peer closed), WAIT as above, FAILED on an error or when the data fill the
 * whole buffer (size bytes or more). */
int BrimRecvDataStep(int fd, char *buf, int size);

/* Writes the response frame of plainText (up to its NUL) into frame, which
 * holds frameSize bytes. The frame's length (64 to 1024), or -1 for a null
 * text or one over 960 bytes (logged as by BrimSendResponse). */
int BrimFrameResponse(const char *plainText, char *frame, int frameSize);

/* Sends frame[*sent..len) without waiting and advances *sent. DONE when the
 * whole frame is out, WAIT when the socket takes no more now, FAILED when a
 * send fails ("Failed send msg, len{-1}."). */
int BrimSendStep(int fd, const char *frame, int len, int *sent);

/* Logs the line of a receive or send that timed out in that phase, as a
 * blocking connection with time-outs would. */
void BrimLogTimedOut(int phase);

/* Frames plainText (up to its NUL) and sends the whole frame, continuing
 * after partial writes. An empty text is answered with the head alone.
 * 0 when every byte was sent; -1 for a null text, a text over 960 bytes, or
 * a failed or timed-out send. The frame buffer is wiped before it is freed. */
int BrimSendResponse(int fd, const char *plainText);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_TRANSPORT_H */
