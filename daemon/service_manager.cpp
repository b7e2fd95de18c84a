// Socket activation and readiness through libsystemd.
#include "service_manager.h"

#include "console_log.h"
#include "transport.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

void ClosePassed(int count)
{
    for (int i = 0; i < count; ++i) {
        CloseSocket(SD_LISTEN_FDS_START + i);
    }
}

} // namespace

extern "C" int BrimTakePassedSocket(void)
{
    const int count = sd_listen_fds(1);
    if (count == 0) {
        return BRIM_NO_PASSED_SOCKET;
    }
    if (count != 1) {
        PrintLog("Error", "BrimTakePassedSocket", __LINE__, "Expected one passed socket, got {%d}.", count);
        ClosePassed(count);
        return -1;
    }
    const int fd = SD_LISTEN_FDS_START;
    const char *name = getenv(BRIM_UDS_NAME_ENV);
    if (name == nullptr) {
        PrintLog("Error", "BrimTakePassedSocket", __LINE__, "Failed get unix socket.");
        ClosePassed(count);
        return -1;
    }
    struct sockaddr_un addr;
    socklen_t addrLen = 0;
    const int ret = BrimMakeAbstractAddress(name, &addr, &addrLen);
    if (ret != 0) {
        PrintLog("Error", "BrimTakePassedSocket", __LINE__, "Failed copy unix name, ret{%d}.", ret);
        ClosePassed(count);
        return -1;
    }
    // The same family, type, listening state and abstract name (leading
    // NUL, no trailing one) as the daemon would bind itself.
    const size_t pathLen = addrLen - offsetof(struct sockaddr_un, sun_path);
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, addr.sun_path, pathLen) <= 0) {
        PrintLog("Error", "BrimTakePassedSocket", __LINE__,
                 "Passed socket is not a listening unix stream socket named by " BRIM_UDS_NAME_ENV ".");
        ClosePassed(count);
        return -1;
    }
    return fd;
}

extern "C" void BrimNotifyReady(void) { (void)sd_notify(0, "READY=1"); }

extern "C" long long BrimWatchdogPingMillis(void)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
        return 0;
    }
    return std::max<long long>(1, static_cast<long long>(usec / 2000));
}

extern "C" void BrimNotifyWatchdog(void) { (void)sd_notify(0, "WATCHDOG=1"); }
