// uds_decrypt_client: a reference client of uds_decrypt_server. Sends one
// cipher text (argument or standard input) and prints the plain text exactly
// as received.
//
// Exit status: 0 complete response; 1 the daemon closed (or went silent)
// without a complete response; 2 usage or connection error.
#include "transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoResponse = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxCipherLen = 2047; // the daemon's 2048-byte buffer less its NUL
constexpr int kResponseWaitSeconds = 30;

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
                  "\n"
                  "Exit status: 0 answered; 1 the daemon closed the connection without a\n"
                  "complete answer (refused or failed; the daemon's log says why);\n"
                  "2 usage or connection error.\n",
                  BRIM_UDS_NAME_ENV);
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

bool SendAll(int fd, const char *data, size_t len)
{
    size_t sent = 0;
    while (sent < len) {
        const ssize_t n = send(fd, data + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly len bytes unless the peer closes, fails or times out first.
size_t RecvAll(int fd, char *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        const ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
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
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return Fail(kExitUsage, strerror(errno));
    }
    if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), addrLen) != 0) {
        const std::string why = std::string("cannot connect to the daemon: ") + strerror(errno);
        close(fd);
        return Fail(kExitUsage, why.c_str());
    }
    const struct timeval wait = {kResponseWaitSeconds, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

    // Head and data leave in one write: the daemon takes as the cipher text
    // what has arrived when it reads after the head.
    std::string request(BRIM_MSG_HEAD_LEN, '\0');
    request += cipher;
    if (!SendAll(fd, request.data(), request.size())) {
        close(fd);
        return Fail(kExitNoResponse, kNoAnswer);
    }

    char response[BRIM_MAX_RESPONSE_LEN];
    if (RecvAll(fd, response, BRIM_MSG_HEAD_LEN) != BRIM_MSG_HEAD_LEN) {
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
    const size_t got = RecvAll(fd, response + BRIM_MSG_HEAD_LEN, plainLen);
    close(fd);
    if (got != plainLen) {
        return Fail(kExitNoResponse, "incomplete response: the connection ended inside the plain text");
    }
    const bool written = WriteAll(response + BRIM_MSG_HEAD_LEN, plainLen);
    explicit_bzero(response, sizeof(response));
    return written ? kExitOk : Fail(kExitUsage, "cannot write the plain text to standard output");
}
