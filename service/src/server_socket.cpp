// The listening socket and the per-connection socket settings.
#include "console_log.h"
#include "transport.h"

#include <cstdlib>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

extern "C" int BrimInitServerConf(int sock)
{
    const char *name = getenv(BRIM_UDS_NAME_ENV);
    if (name == nullptr) {
        PrintLog("Error", "BrimInitServerConf", __LINE__, "Failed get unix socket.");
        return -1;
    }
    struct sockaddr_un addr;
    socklen_t addrLen = 0;
    const int ret = BrimMakeAbstractAddress(name, &addr, &addrLen);
    if (ret != 0) {
        PrintLog("Error", "BrimInitServerConf", __LINE__, "Failed copy unix name, ret{%d}.", ret);
        return -1;
    }
    if (bind(sock, reinterpret_cast<const struct sockaddr *>(&addr), addrLen) != 0) {
        PrintLog("Error", "BrimInitServerConf", __LINE__, "Failed bind unix socket.");
        return -1;
    }
    if (listen(sock, BRIM_LISTEN_BACKLOG) != 0) {
        PrintLog("Error", "BrimInitServerConf", __LINE__, "Failed start unix socket.");
        return -1;
    }
    return 0;
}

extern "C" int BrimInitServer(void)
{
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) {
        PrintLog("Error", "BrimInitServer", __LINE__, "Failed create unix socket.");
        return -1;
    }
    if (BrimInitServerConf(sock) != 0) {
        CloseSocket(sock);
        return -1;
    }
    return sock;
}

extern "C" void CloseSocket(int fd)
{
    if (fd >= 0) {
        (void)close(fd);
    }
}

extern "C" int BrimSetConnTimeouts(int fd)
{
    // One connection is served at a time, so a peer that stops talking must
    // not hold the daemon longer than this.
    const struct timeval limit = {BRIM_CONN_TIMEOUT_SECONDS, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) {
        PrintLog("Warn", "BrimSetConnTimeouts", __LINE__, "Failed set client timeout.");
        return -1;
    }
    return 0;
}
