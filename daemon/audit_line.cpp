#include "audit_line.h"

#include "console_log.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace brim {

namespace {

// Cipher header: version (1), algorithm (1), two zero bytes, domain (4, LE),
// key id (4, LE): the first 12 bytes, the first 16 Base64 characters.
constexpr size_t kHeaderBytes = 12;
constexpr size_t kHeaderChars = kHeaderBytes / 3 * 4;
constexpr size_t kExeChars = 200;

constexpr std::array<int8_t, 256> kBase64Values = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    }
    return t;
}();

uint32_t Le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The peer's program, with anything unprintable replaced, so a crafted
// file name cannot forge or split a console line.
void PeerProgram(pid_t pid, char (&out)[kExeChars + 1])
{
    char link[64];
    (void)snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t n = pid > 0 ? readlink(link, out, kExeChars) : -1;
    if (n <= 0) {
        (void)strcpy(out, "?");
        return;
    }
    out[n] = '\0';
    for (ssize_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f || c == '{' || c == '}') {
            out[i] = '?';
        }
    }
}

} // namespace

bool AuditEnabled()
{
    const char *value = getenv("ZORVA_AUDIT");
    return value != nullptr && strcmp(value, "1") == 0;
}

bool CipherHeaderIds(const char *cipherText, uint32_t *domain, uint32_t *keyId)
{
    uint8_t header[kHeaderBytes];
    for (size_t group = 0; group < kHeaderChars / 4; ++group) {
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            const char c = cipherText[group * 4 + i]; // stops at the NUL: it is no Base64 character
            const int8_t v = kBase64Values[static_cast<unsigned char>(c)];
            if (v < 0) {
                return false;
            }
            bits = bits << 6 | static_cast<uint32_t>(v);
        }
        header[group * 3] = static_cast<uint8_t>(bits >> 16);
        header[group * 3 + 1] = static_cast<uint8_t>(bits >> 8);
        header[group * 3 + 2] = static_cast<uint8_t>(bits);
    }
    *domain = Le32(header + 4);
    *keyId = Le32(header + 8);
    return true;
}

void LogAnswered(const Connection &conn)
{
    char program[kExeChars + 1];
    PeerProgram(conn.peer.pid, program);
    PrintLog("Info", "StartServer", __LINE__, "answered pid{%d} uid{%u} exe{%s} domain{%u} key{%u} length{%u}.",
             static_cast<int>(conn.peer.pid), static_cast<unsigned>(conn.peer.uid), program, conn.domain,
             conn.keyId, conn.plainLen);
}

} // namespace brim
