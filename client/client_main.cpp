// uds_decrypt_client: a reference client of uds_decrypt_server. Sends one
// cipher text (argument or standard input) and prints the plain text exactly
// as received. Before anything is sent it checks who holds the socket: the
// server must run as root or as the service user `zorva` (or as the user id
// in ZORVA_SERVER_UID), so a process that took the name first gets nothing.
// Connecting, sending and waiting for the answer share one 30-second budget.
//
// Exit status: 0 complete response; 1 the daemon closed (or went silent)
// without a complete response; 2 usage or connection error, or a server
// that is not the expected user.
#include "bounded.h"
#include "transport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoResponse = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxCipherLen = 2047; // the daemon's 2048-byte buffer less its NUL
constexpr auto kBudget = std::chrono::seconds(30);
// While the daemon's queue is full a Unix socket refuses to connect at once
// (EAGAIN) instead of waiting; the client tries again this often.
constexpr int kConnectRetryMillis = 20;
constexpr const char *kServiceUser = "zorva";
constexpr const char *kServerUidEnv = "ZORVA_SERVER_UID";

using Clock = std::chrono::steady_clock;

// What is left of the budget, in milliseconds for poll.
int RemainingMillis(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits until fd is ready for events or the budget is spent. False on
// time-out or a failed poll.
bool WaitFor(int fd, short events, Clock::time_point end)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        const int n = poll(&p, 1, RemainingMillis(end));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0;
    }
}

void PrintUsage(FILE *out)
{
    (void)fprintf(out,
                  "Usage: uds_decrypt_client [CIPHER_TEXT]\n"
                  "       uds_decrypt_client --help\n"
                  "\n"
                  "Sends CIPHER_TEXT (or, without an argument, standard input less one\n"
                  "trailing newline) to uds_decrypt_server on the abstract socket named by\n"
                  "%s, and prints the plain text exactly as received, with nothing\n"
                  "added. The daemon answers only clients running as user id 1000.\n"
                  "Nothing is sent unless the socket's server runs as root, as the user\n"
                  "%s, or as the user id in %s.\n"
                  "\n"
                  "Exit status: 0 answered; 1 the daemon closed the connection without a\n"
                  "complete answer (refused or failed; the daemon's log says why);\n"
                  "2 usage or connection error, or a server that is not the expected user.\n",
                  BRIM_UDS_NAME_ENV, kServiceUser, kServerUidEnv);
}

constexpr const char *kNoAnswer =
    "the daemon closed the connection without an answer (client refused or request failed; the daemon's log says why)";

int Fail(int status, const char *message)
{
    (void)fprintf(stderr, "uds_decrypt_client: %s\n", message);
    return status;
}

bool ReadStdin(std::string &text)
{
    char chunk[1024];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > kMaxCipherLen + 2) {
            break; // too long either way
        }
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return true;
}

bool SendAll(int fd, const char *data, size_t len, Clock::time_point end)
{
    size_t sent = 0;
    while (sent < len) {
        const ssize_t n = send(fd, data + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLOUT, end)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly len bytes unless the peer closes, fails or the budget ends
// first.
size_t RecvAll(int fd, char *buf, size_t len, Clock::time_point end)
{
    size_t got = 0;
    while (got < len) {
        const ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLIN, end)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

// Connects the non-blocking socket fd within the budget: 0 or an errno value.
int ConnectWithin(int fd, const struct sockaddr_un &addr, socklen_t addrLen, Clock::time_point end)
{
    for (;;) {
        if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), addrLen) == 0) {
            return 0;
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EINPROGRESS) {
            if (!WaitFor(fd, POLLOUT, end)) {
                return ETIMEDOUT;
            }
            int soError = 0;
            socklen_t soLen = sizeof(soError);
            return getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) == 0 ? soError : errno;
        }
        if (err != EAGAIN) {
            return err;
        }
        if (RemainingMillis(end) == 0) {
            return ETIMEDOUT;
        }
        (void)poll(nullptr, 0, std::min(kConnectRetryMillis, RemainingMillis(end)));
    }
}

// ZORVA_SERVER_UID as a user id: true with *uid set, true with *uid left
// alone when it is not set, false when it is not a user id.
bool ExtraServerUid(uid_t *uid, bool *given)
{
    const char *text = getenv(kServerUidEnv);
    *given = text != nullptr;
    if (text == nullptr) {
        return true;
    }
    char *endp = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &endp, 10);
    if (*text < '0' || *text > '9' || *endp != '\0' || errno != 0 || value >= UINT_MAX) {
        return false;
    }
    *uid = static_cast<uid_t>(value);
    return true;
}

// The user id of the service user, when it exists.
bool ServiceUserUid(uid_t *uid)
{
    struct passwd entry {};
    struct passwd *found = nullptr;
    char text[1024];
    if (getpwnam_r(kServiceUser, &entry, text, sizeof(text), &found) != 0 || found == nullptr) {
        return false;
    }
    *uid = found->pw_uid;
    return true;
}

bool WriteAll(const char *data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(STDOUT_FILENO, data + done, len - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (argc > 2) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    std::string cipher;
    if (argc == 2) {
        cipher = argv[1];
    } else if (!ReadStdin(cipher)) {
        return Fail(kExitUsage, "cannot read the cipher text from standard input");
    }
    // The daemon would wait out its time-out for an empty one and refuse a
    // longer one: both are told here, at once.
    if (cipher.empty()) {
        return Fail(kExitUsage, "no cipher text given (an argument, or one line on standard input)");
    }
    if (cipher.size() > kMaxCipherLen) {
        return Fail(kExitUsage, "cipher text too long (the daemon takes at most 2047 bytes)");
    }

    const char *name = getenv(BRIM_UDS_NAME_ENV);
    if (name == nullptr) {
        return Fail(kExitUsage, BRIM_UDS_NAME_ENV " is not set; it names the daemon's socket");
    }
    struct sockaddr_un addr;
    socklen_t addrLen = 0;
    if (BrimMakeAbstractAddress(name, &addr, &addrLen) != 0) {
        return Fail(kExitUsage, BRIM_UDS_NAME_ENV " is too long (at most 107 characters)");
    }
    uid_t extraUid = 0;
    bool extraGiven = false;
    if (!ExtraServerUid(&extraUid, &extraGiven)) {
        return Fail(kExitUsage, "ZORVA_SERVER_UID is not a user id (a decimal number)");
    }
    const Clock::time_point end = Clock::now() + kBudget;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Fail(kExitUsage, strerror(errno));
    }
    if (const int err = ConnectWithin(fd, addr, addrLen, end); err != 0) {
        const std::string why = std::string("cannot connect to the daemon: ") + strerror(err);
        close(fd);
        return Fail(kExitUsage, why.c_str());
    }

    // Whoever bound the name first holds the socket: the cipher text goes
    // only to a server running as an expected user. The credentials are
    // those of the process that made the socket listen (systemd, when it
    // holds the socket for the daemon).
    struct ucred server {};
    socklen_t serverLen = sizeof(server);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &server, &serverLen) != 0) {
        const std::string why = std::string("cannot tell who runs the daemon's socket: ") + strerror(errno);
        close(fd);
        return Fail(kExitUsage, why.c_str());
    }
    uid_t serviceUid = 0;
    const bool serviceUser = ServiceUserUid(&serviceUid);
    if (server.uid != 0 && !(serviceUser && server.uid == serviceUid) && !(extraGiven && server.uid == extraUid)) {
        close(fd);
        const std::string why = "the socket " + std::string(name) + " is served by user id " +
                                std::to_string(server.uid) + " (pid " + std::to_string(server.pid) +
                                "), not by root or the user " + kServiceUser +
                                "; nothing sent (ZORVA_SERVER_UID names another expected user id)";
        return Fail(kExitUsage, why.c_str());
    }

    // Head and data leave in one write: the daemon takes as the cipher text
    // what has arrived when it reads after the head.
    std::string request(BRIM_MSG_HEAD_LEN, '\0');
    request += cipher;
    if (!SendAll(fd, request.data(), request.size(), end)) {
        close(fd);
        return Fail(kExitNoResponse, kNoAnswer);
    }

    char response[BRIM_MAX_RESPONSE_LEN];
    if (RecvAll(fd, response, BRIM_MSG_HEAD_LEN, end) != BRIM_MSG_HEAD_LEN) {
        close(fd);
        return Fail(kExitNoResponse, kNoAnswer);
    }
    uint32_t wireLen = 0;
    memcpy(&wireLen, response, sizeof(wireLen));
    const uint32_t plainLen = ntohl(wireLen);
    if (plainLen > BRIM_MAX_PLAIN_LEN) {
        close(fd);
        return Fail(kExitNoResponse, "malformed response: length over 960 bytes");
    }
    const size_t got = RecvAll(fd, response + BRIM_MSG_HEAD_LEN, plainLen, end);
    close(fd);
    if (got != plainLen) {
        return Fail(kExitNoResponse, "incomplete response: the connection ended inside the plain text");
    }
    const bool written = WriteAll(response + BRIM_MSG_HEAD_LEN, plainLen);
    (void)memset_s(response, sizeof(response), 0, sizeof(response));
    return written ? kExitOk : Fail(kExitUsage, "cannot write the plain text to standard output");
}
