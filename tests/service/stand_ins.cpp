#include "stand_ins.h"

#include "zorva_main.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

namespace stand_in {

Agent &agent()
{
    static Agent instance;
    return instance;
}

void ResetAgent() { agent() = Agent{}; }

Sockets &sockets()
{
    static Sockets instance;
    return instance;
}

void ResetSockets() { sockets() = Sockets{}; }

namespace {

int HandOut(const char *event, uint32_t domainId, uint32_t inputLen, char **out, uint32_t *outLen)
{
    Agent &a = agent();
    a.events.emplace_back(event);
    a.lastDomain = domainId;
    a.lastInputLen = inputLen;
    if (a.operationResult != 0) {
        return a.operationResult;
    }
    char *block = static_cast<char *>(malloc(a.result.size() + 1));
    memcpy(block, a.result.c_str(), a.result.size() + 1);
    *out = block;
    *outLen = static_cast<uint32_t>(a.result.size());
    return 0;
}

} // namespace
} // namespace stand_in

using stand_in::agent;
using stand_in::sockets;

extern "C" {

int ZORVA_Init(ZorvaLogIntf logFunc, const char *primaryKeyFile, const char *standbyKeyFile)
{
    auto &a = agent();
    const size_t tries = static_cast<size_t>(
        std::count(a.events.begin(), a.events.end(), std::string("init")));
    a.events.emplace_back("init");
    if (logFunc == nullptr || strcmp(primaryKeyFile, "/etc/zorvm_primary_file.dat") != 0 ||
        strcmp(standbyKeyFile, "/etc/zorvm_standby_file.dat") != 0) {
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    logFunc(ZORVA_MODULE_ID, ZORVA_LOG_ERROR, "ZORVA_Init", 1, 0, "agent line %d", 1);
    if (a.initResults.empty()) {
        return 0;
    }
    return a.initResults[std::min(tries, a.initResults.size() - 1)];
}

int ZORVA_Encrypt(uint32_t domainId, const char *, uint32_t plainTextLen, char **cipherText, uint32_t *cipherTextLen)
{
    return stand_in::HandOut("encrypt", domainId, plainTextLen, cipherText, cipherTextLen);
}

int ZORVA_Decrypt(uint32_t domainId, const char *, uint32_t cipherTextLen, char **plainText, uint32_t *plainTextLen)
{
    return stand_in::HandOut("decrypt", domainId, cipherTextLen, plainText, plainTextLen);
}

void ZORVA_MemClearFree(void *block, uint32_t size)
{
    agent().events.emplace_back("free");
    agent().lastFreedLen = size;
    if (block != nullptr) {
        memset(block, 0x5A, size); // a copy taken after this would show it
        free(block);
    }
}

int ZORVA_Finalize(void)
{
    agent().events.emplace_back("finalize");
    return 0;
}

unsigned int sleep(unsigned int seconds)
{
    agent().events.push_back("sleep" + std::to_string(seconds));
    return 0;
}

int getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    using Real = int (*)(int, int, int, void *, socklen_t *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getsockopt"));
    if (level == SOL_SOCKET && name == SO_PEERCRED && sockets().scriptUid && *length >= sizeof(struct ucred)) {
        struct ucred cred {getpid(), sockets().uid, sockets().uid};
        memcpy(value, &cred, sizeof(cred));
        *length = sizeof(cred);
        return 0;
    }
    return real(fd, level, name, value, length);
}

ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    using Real = ssize_t (*)(int, const void *, size_t, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "send"));
    auto &s = sockets();
    if (s.sendFailAfter >= 0 && s.sendCalls++ >= s.sendFailAfter) {
        errno = EPIPE;
        return -1;
    }
    if (s.sendChunk != 0 && len > s.sendChunk) {
        len = s.sendChunk;
    }
    return real(fd, buf, len, flags);
}

} // extern "C"
