// The daemon's request path on arbitrary bytes: BrimGetRequest, BrimDecrypt
// and BrimSendResponse over a socket pair, as the serve loop runs them,
// with the real agent and key store. The key store is made at the daemon's
// fixed paths under /etc, so the target runs only inside the throw-away
// /etc of tests/isolated.sh (as root).
//
// Input: flags (1 byte), then everything the client writes before it shuts
// its side: the first 64 bytes are the message head, the rest the data.
//   bit 0: the client end is made under user id 1000 (else as root, which
//          the daemon refuses).
// Checks: no crash, leak or out-of-bounds access (ASan); a refused or failed
// request gets no byte; an answered one gets a whole, well-formed frame
// whose plain text is the NUL-terminated text the decryption produced.
//
// With ZORVA_FUZZ_WRITE_SEEDS=DIR the program writes its seeds and exits.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "memory_store.h"
#include "agent_calls.h"
#include "transport.h"
#include "zorv_admin.h"

namespace {

constexpr int kRecvBufLen = 2048;
constexpr int kSendBufLen = 1024;

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "request_fuzzer: %s\n", what);
        std::abort();
    }
}

bool Isolated()
{
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.find(" /etc ") != std::string::npos && line.find("zorva-etc") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A store at the fixed paths with the same keys in every run.
void MakeStore()
{
    QintCallbacks cb{};
    fuzzsupport::Reseed(0x5EED);
    cb.randomBytes = fuzzsupport::RepeatableRandom;
    Check(QintRegFuncEx(&cb) == 0, "register");
    const QintKeyFileName names{BRIM_PRIMARY_KEY_FILE, BRIM_STANDBY_KEY_FILE, nullptr};
    Check(QintAdminCreateEx(&names, QINT_ADMIN_FORCE, nullptr) == 0, "create the key store");
}

// A connected pair whose server end reports the client's uid as uid.
bool Pair(uid_t uid, int fds[2])
{
    if (uid != 0 && seteuid(uid) != 0) {
        return false;
    }
    const int rc = socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    if (uid != 0) {
        Check(seteuid(0) == 0, "back to root");
    }
    return rc == 0;
}

std::string ReadAll(int fd)
{
    std::string out;
    char chunk[2048];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
        out.append(chunk, static_cast<size_t>(n));
    }
    return out;
}

void WriteSeeds(const std::string &dir)
{
    auto write = [&](const std::string &name, const std::string &in) {
        std::ofstream(dir + "/" + name, std::ios::binary) << in;
    };
    const std::string head(64, '\0');
    for (const char *plain : {"a secret of the seed corpus", "x"}) {
        char cipher[4096];
        Check(BrimEncrypt(plain, cipher, sizeof cipher) == 0, "seed encrypt");
        write(std::string("cipher_") + std::to_string(std::strlen(plain)), "\x01" + head + cipher);
    }
    char cipher[4096];
    Check(BrimEncrypt(std::string(960, 'p').c_str(), cipher, sizeof cipher) == 0, "seed encrypt");
    write("cipher_960", "\x01" + head + cipher);
    write("root_peer", std::string(1, '\0') + head + "QUJD");
    write("partial_head", "\x01" + std::string(10, 'h'));
    write("empty_data", "\x01" + head);
    write("not_base64", "\x01" + head + "!!!!");
    write("over_long", "\x01" + head + std::string(2048, 'A'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (geteuid() != 0 || !Isolated()) {
        std::fprintf(stderr, "request_fuzzer: run as root through tests/isolated.sh (it writes /etc)\n");
        std::exit(1);
    }
    MakeStore();
    if (const char *dir = std::getenv("ZORVA_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The socket buffer takes the whole request, so the client's write
    // never blocks the one thread.
    if (size < 1 || size > 1 + 64 + 2100) {
        return -1;
    }
    const bool admitted = (data[0] & 1) != 0;
    int fds[2];
    Check(Pair(admitted ? BRIM_ALLOWED_UID : 0, fds), "socket pair");
    const int client = fds[0];
    const int server = fds[1];
    if (size > 1) {
        Check(send(client, data + 1, size - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(size - 1), "client write");
    }
    shutdown(client, SHUT_WR);

    // The serve loop's steps, with heap buffers of the daemon's sizes.
    char *recvBuf = static_cast<char *>(std::malloc(kRecvBufLen));
    char *sendBuf = static_cast<char *>(std::malloc(kSendBufLen));
    std::memset(recvBuf, 0, kRecvBufLen);
    std::memset(sendBuf, 0, kSendBufLen);
    uint32_t plainLen = 0;
    bool answered = false;
    if (BrimGetRequest(server, recvBuf, kRecvBufLen) == 0) {
        Check(admitted, "only uid 1000 is admitted");
        Check(std::strlen(recvBuf) < kRecvBufLen, "request is terminated");
        if (BrimDecrypt(recvBuf, sendBuf, kSendBufLen, &plainLen) == 0) {
            answered = BrimSendResponse(server, sendBuf) == 0;
        }
    }
    close(server);
    const std::string response = ReadAll(client);
    close(client);
    if (!answered) {
        Check(response.empty(), "a failed request gets no byte");
    } else {
        const size_t textLen = std::strlen(sendBuf);
        uint32_t wire = 0;
        Check(response.size() == 64 + textLen, "frame size");
        std::memcpy(&wire, response.data(), 4);
        Check(ntohl(wire) == textLen, "frame length");
        Check(response.find_first_not_of('\0', 4) >= 64, "rest of the head is zero");
        Check(response.compare(64, textLen, sendBuf, textLen) == 0, "frame text");
    }
    std::free(sendBuf);
    std::free(recvBuf);
    return 0;
}
