// Reading one request and sending one framed response on a connection, in
// steps that suit both a blocking socket with time-outs and a non-blocking
// one in an event loop.
#include "console_log.h"
#include "transport.h"

#include "bounded.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <sys/socket.h>

namespace {

// A buffer that held a secret is wiped on every way out.
class WipeOnExit {
public:
    explicit WipeOnExit(std::span<char> bytes) : bytes_(bytes) {}
    ~WipeOnExit() { (void)memset_s(bytes_.data(), bytes_.size(), 0, bytes_.size()); }
    WipeOnExit(const WipeOnExit &) = delete;
    WipeOnExit &operator=(const WipeOnExit &) = delete;

private:
    std::span<char> bytes_;
};

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// One receive, repeated only when a signal interrupted it.
ssize_t RecvOnce(int fd, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = recv(fd, buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

void LogHeadFailure(int ret)
{
    PrintLog("Warn", "BrimGetRequest", __LINE__, "Failed recv msghead from client, ret{%d}.", ret);
}

void LogDataFailure(int ret)
{
    PrintLog("Warn", "BrimGetRequest", __LINE__, "Failed recv from client, ret{%d}.", ret);
}

void LogSendFailure(int ret)
{
    PrintLog("Error", "BrimSendResponse", __LINE__, "Failed send msg, len{%d}.", ret);
}

} // namespace

extern "C" int BrimCheckPeer(int fd, struct ucred *peer)
{
    (void)memset_s(peer, sizeof(*peer), 0, sizeof(*peer));
    socklen_t peerLen = sizeof(*peer);
    // A failed query leaves the record zero: the peer then counts as root
    // and is refused.
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, peer, &peerLen) != 0) {
        (void)memset_s(peer, sizeof(*peer), 0, sizeof(*peer));
    }
    return peer->uid == BRIM_ALLOWED_UID ? 0 : -1;
}

extern "C" void BrimLogRefusedPeer(int uid)
{
    PrintLog("Warn", "BrimGetRequest", __LINE__, "connect from unallow client uid{%d}.", uid);
}

extern "C" void BrimLogRefusalsNotShown(int uid, unsigned count)
{
    PrintLog("Warn", "BrimGetRequest", __LINE__, "{%u} more connects from unallow client uid{%d} not shown.", count,
             uid);
}

extern "C" int BrimRecvHeadStep(int fd)
{
    char head[BRIM_MSG_HEAD_LEN];
    (void)memset_s(head, sizeof(head), 0, sizeof(head));
    const ssize_t n = RecvOnce(fd, head, sizeof(head));
    if (n >= 0) {
        return BRIM_STEP_DONE; // any count, 0 (peer closed) included; the bytes are not looked at
    }
    if (WouldBlock(errno)) {
        return BRIM_STEP_WAIT;
    }
    LogHeadFailure(static_cast<int>(n));
    return BRIM_STEP_FAILED;
}

extern "C" int BrimRecvDataStep(int fd, char *buf, int size)
{
    const ssize_t n = RecvOnce(fd, buf, static_cast<size_t>(size));
    if (n < 0 && WouldBlock(errno)) {
        return BRIM_STEP_WAIT;
    }
    if (n < 0 || n >= size) {
        LogDataFailure(static_cast<int>(n));
        return BRIM_STEP_FAILED;
    }
    buf[n] = '\0';
    return BRIM_STEP_DONE;
}

extern "C" void BrimLogTimedOut(int phase)
{
    switch (phase) {
    case BRIM_PHASE_HEAD:
        LogHeadFailure(-1);
        break;
    case BRIM_PHASE_DATA:
        LogDataFailure(-1);
        break;
    default:
        LogSendFailure(-1);
        break;
    }
}

extern "C" int BrimGetRequest(int fd, char *buf, int size)
{
    struct ucred peer;
    if (BrimCheckPeer(fd, &peer) != 0) {
        BrimLogRefusedPeer(static_cast<int>(peer.uid));
        return -1;
    }
    // On a blocking socket a receive that would block has run into its
    // time-out.
    int step = BrimRecvHeadStep(fd);
    if (step == BRIM_STEP_WAIT) {
        BrimLogTimedOut(BRIM_PHASE_HEAD);
    }
    if (step != BRIM_STEP_DONE) {
        return -1;
    }
    step = BrimRecvDataStep(fd, buf, size);
    if (step == BRIM_STEP_WAIT) {
        BrimLogTimedOut(BRIM_PHASE_DATA);
    }
    return step == BRIM_STEP_DONE ? 0 : -1;
}

extern "C" int BrimFrameResponse(const char *plainText, char *frame, int frameSize)
{
    if (plainText == nullptr) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "No valid data.");
        return -1;
    }
    const size_t plainLen = strlen(plainText);
    const size_t total = plainLen + BRIM_MSG_HEAD_LEN;
    if (total > BRIM_MAX_RESPONSE_LEN) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "Data length {%u} exceeded.",
                 static_cast<unsigned>(plainLen));
        return -1;
    }
    if (frameSize < 0 || total > static_cast<size_t>(frameSize)) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "Failed alloc memory.");
        return -1;
    }
    (void)memset_s(frame, total, 0, total);

    const uint32_t wireLen = htonl(static_cast<uint32_t>(plainLen));
    int ret = memcpy_s(frame, total, &wireLen, sizeof(wireLen));
    if (ret != 0) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "copy msg head failed, ret{%d}.", ret);
        return -1;
    }
    // An empty plain text is answered with the head alone (length 0).
    if (plainLen > 0) {
        ret = memcpy_s(frame + BRIM_MSG_HEAD_LEN, total - BRIM_MSG_HEAD_LEN, plainText, plainLen);
        if (ret != 0) {
            PrintLog("Error", "BrimSendResponse", __LINE__, "copy msg data failed, ret{%d}.", ret);
            return -1;
        }
    }
    return static_cast<int>(total);
}

extern "C" int BrimSendStep(int fd, const char *frame, int len, int *sent)
{
    while (*sent < len) {
        const ssize_t n = send(fd, frame + *sent, static_cast<size_t>(len - *sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && WouldBlock(errno)) {
            return BRIM_STEP_WAIT;
        }
        if (n <= 0) {
            LogSendFailure(n < 0 ? static_cast<int>(n) : -1);
            return BRIM_STEP_FAILED;
        }
        *sent += static_cast<int>(n);
    }
    return BRIM_STEP_DONE;
}

extern "C" int BrimSendResponse(int fd, const char *plainText)
{
    char frame[BRIM_MAX_RESPONSE_LEN];
    const WipeOnExit wipe{std::span<char>(frame)};
    const int total = BrimFrameResponse(plainText, frame, sizeof(frame));
    if (total < 0) {
        return -1;
    }
    int sent = 0;
    const int step = BrimSendStep(fd, frame, total, &sent);
    if (step == BRIM_STEP_WAIT) {
        BrimLogTimedOut(BRIM_PHASE_SEND); // a blocking send ran into its time-out
    }
    return step == BRIM_STEP_DONE ? 0 : -1;
}
