// uds_decrypt_server: decrypts cipher texts for local clients running as
// user id 1000, on the abstract socket named by DS_MINIO_UDS_NAME: the
// socket a service manager passed, or one it binds itself.
#include "console_log.h"
#include "serve_loop.h"
#include "service_manager.h"
#include "transport.h"
#include "process_hardening.h"

#include <cstdlib>

namespace {
constexpr int kRecvBufLen = 2048; // request data and its terminating NUL
constexpr int kSendBufLen = 1024; // plain text and its terminating NUL
} // namespace

int main()
{
    (void)brim::DisableCoreDumps();
    int listenFd = BrimTakePassedSocket();
    if (listenFd == BRIM_NO_PASSED_SOCKET) {
        listenFd = BrimInitServer();
    }
    if (listenFd < 0) {
        PrintLog("Error", "main", __LINE__, "Failed create init server.");
        return -1;
    }
    char *recvBuf = static_cast<char *>(malloc(kRecvBufLen));
    if (recvBuf == nullptr) {
        PrintLog("Warn", "main", __LINE__, "Failed alloc recv buf.");
        CloseSocket(listenFd);
        return -1;
    }
    char *sendBuf = static_cast<char *>(malloc(kSendBufLen));
    if (sendBuf == nullptr) {
        PrintLog("Warn", "main", __LINE__, "Failed alloc send buf.");
        free(recvBuf);
        CloseSocket(listenFd);
        return -1;
    }
    StartServer(listenFd, recvBuf, kRecvBufLen, sendBuf, kSendBufLen);
}
