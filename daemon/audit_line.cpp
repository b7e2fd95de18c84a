#include "audit_line.h"

#include "console_log.h"
#include "peer_identity.h"

#include <array>

namespace brim {

namespace {

// Cipher header: version (1), algorithm (1), two zero bytes, domain (4, LE),
// key id (4, LE): the first 12 bytes, the first 16 Base64 characters.
constexpr size_t kHeaderBytes = 12;
constexpr size_t kHeaderChars = kHeaderBytes / 3 * 4;

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

} // namespace

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

void TakeIdentity(Connection &conn)
{
    conn.startTime = ProcessStartTime(conn.peer.pid);
    ProcessProgram(conn.peer.pid, conn.program);
}

void LogAnswered(const Connection &conn)
{
    const auto pid = static_cast<int>(conn.peer.pid);
    const auto started = static_cast<unsigned long long>(conn.startTime);
    if (conn.startTime != 0) {
        const uint64_t now = ProcessStartTime(conn.peer.pid);
        if (now != 0 && now != conn.startTime) {
            PrintLog("Warn", "StartServer", __LINE__,
                     "pid{%d} was reused before its answer: start{%llu} at accept, start{%llu} now.", pid, started,
                     static_cast<unsigned long long>(now));
        }
    }
    PrintLog("Info", "StartServer", __LINE__,
             "answered pid{%d} start{%llu} uid{%u} exe{%s} domain{%u} key{%u} length{%u}.", pid, started,
             static_cast<unsigned>(conn.peer.uid), conn.program.data(), conn.domain, conn.keyId, conn.plainLen);
}

void LogRefusedDisabled(const Connection &conn)
{
    PrintLog("Info", "StartServer", __LINE__,
             "refused pid{%d} start{%llu} uid{%u} exe{%s} domain{%u} key{%u}: key disabled.",
             static_cast<int>(conn.peer.pid), static_cast<unsigned long long>(conn.startTime),
             static_cast<unsigned>(conn.peer.uid), conn.program.data(), conn.domain, conn.keyId);
}

} // namespace brim
