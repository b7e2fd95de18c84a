// Serve loop: one connection, one request, one response, at a time.
#include "serve_loop.h"

#include "agent_calls.h"
#include "console_log.h"
#include "transport.h"

#include "bounded.h"

#include <cstdint>
#include <sys/socket.h>

extern "C" void StartServer(int listenFd, char *recvBuf, int recvLen, char *sendBuf, int sendLen)
{
    const size_t recvSize = static_cast<size_t>(recvLen);
    const size_t sendSize = static_cast<size_t>(sendLen);
    for (;;) {
        const int conn = accept(listenFd, nullptr, nullptr);
        if (conn < 0) {
            PrintLog("Warn", "StartServer", __LINE__, "Failed accept client.");
            continue;
        }
        (void)memset_s(recvBuf, recvSize, 0, recvSize);
        if (BrimSetConnTimeouts(conn) != 0 || BrimGetRequest(conn, recvBuf, recvLen) != 0) {
            CloseSocket(conn);
            continue;
        }
        (void)memset_s(sendBuf, sendSize, 0, sendSize);
        uint32_t plainLen = 0;
        if (BrimDecrypt(recvBuf, sendBuf, sendLen, &plainLen) != 0) {
            CloseSocket(conn);
            continue;
        }
        (void)BrimSendResponse(conn, sendBuf);
        (void)memset_s(sendBuf, sendSize, 0, sendSize);
        (void)memset_s(recvBuf, recvSize, 0, recvSize);
        CloseSocket(conn);
    }
}
