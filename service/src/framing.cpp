// Reading one request and sending one framed response on a connection.
#include "console_log.h"
#include "transport.h"

#include "bounded.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace {

// The frame buffer holds a secret: wiped and freed on every way out.
class WipedFrame {
public:
    explicit WipedFrame(size_t size) : data_(static_cast<char *>(malloc(size))), size_(size) {}
    ~WipedFrame()
    {
        if (data_ != nullptr) {
            (void)memset_s(data_, size_, 0, size_);
            free(data_);
        }
    }
    WipedFrame(const WipedFrame &) = delete;
    WipedFrame &operator=(const WipedFrame &) = delete;

    char *data() const { return data_; }

private:
    char *data_;
    size_t size_;
};

// Sends all of buf unless a send fails or times out. The total on success,
// else the failing send's result.
ssize_t SendAll(int fd, const char *buf, size_t len)
{
    size_t sent = 0;
    while (sent < len) {
        const ssize_t n = send(fd, buf + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? n : -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
}

} // namespace

extern "C" int BrimGetRequest(int fd, char *buf, int size)
{
    struct ucred peer;
    (void)memset_s(&peer, sizeof(peer), 0, sizeof(peer));
    socklen_t peerLen = sizeof(peer);
    // A failed query leaves the record zero: the peer then counts as root
    // and is refused below.
    (void)getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen);
    if (peer.uid != BRIM_ALLOWED_UID) {
        PrintLog("Warn", "BrimGetRequest", __LINE__, "connect from unallow client uid{%d}.",
                 static_cast<int>(peer.uid));
        return -1;
    }

    char head[BRIM_MSG_HEAD_LEN];
    (void)memset_s(head, sizeof(head), 0, sizeof(head));
    const ssize_t headLen = recv(fd, head, sizeof(head), MSG_NOSIGNAL);
    if (headLen < 0) {
        PrintLog("Warn", "BrimGetRequest", __LINE__, "Failed recv msghead from client, ret{%d}.",
                 static_cast<int>(headLen));
        return -1;
    }

    const ssize_t n = recv(fd, buf, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (n < 0 || n >= size) {
        PrintLog("Warn", "BrimGetRequest", __LINE__, "Failed recv from client, ret{%d}.", static_cast<int>(n));
        return -1;
    }
    buf[n] = '\0';
    return 0;
}

extern "C" int BrimSendResponse(int fd, const char *plainText)
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
    const WipedFrame frame(total);
    if (frame.data() == nullptr) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "Failed alloc memory.");
        return -1;
    }
    (void)memset_s(frame.data(), total, 0, total);

    const uint32_t wireLen = htonl(static_cast<uint32_t>(plainLen));
    int ret = memcpy_s(frame.data(), total, &wireLen, sizeof(wireLen));
    if (ret != 0) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "copy msg head failed, ret{%d}.", ret);
        return -1;
    }
    // An empty plain text is answered with the head alone (length 0).
    if (plainLen > 0) {
        ret = memcpy_s(frame.data() + BRIM_MSG_HEAD_LEN, total - BRIM_MSG_HEAD_LEN, plainText, plainLen);
        if (ret != 0) {
            PrintLog("Error", "BrimSendResponse", __LINE__, "copy msg data failed, ret{%d}.", ret);
            return -1;
        }
    }

    const ssize_t sent = SendAll(fd, frame.data(), total);
    if (sent < 0) {
        PrintLog("Error", "BrimSendResponse", __LINE__, "Failed send msg, len{%d}.", static_cast<int>(sent));
        return -1;
    }
    return 0;
}
