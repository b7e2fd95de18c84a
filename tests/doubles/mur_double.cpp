// Stand-in data-protection component, scriptable through
// mur_double_control.h: a toy reversible cipher and a toy keyed digest, so
// round trips through the agent work without the real component.
#include <array>
#include <cstring>
#include <mutex>

#include "mur.h"
#include "mur_double_control.h"

namespace {

constexpr size_t kScriptMax = 16;
constexpr size_t kSeenMax = 64;
constexpr uint32_t kMagic = 0x43594f54; // "TOYC"
constexpr uint32_t kNoLength = UINT32_MAX;

struct Failure {
    uint64_t result = 0;
    int64_t lengthOut = MUR_DOUBLE_KEEP_LENGTH;
    uint32_t calls = 0;
};

struct CallState {
    std::array<Failure, kScriptMax> script{};
    size_t scripted = 0;
    uint64_t always = 0;
    uint32_t count = 0;
    std::array<uint32_t, kSeenMax> seen{};
    uint32_t lastDomain = 0;
    uint32_t lastAlgorithm = 0;
};

struct State {
    std::mutex mutex;
    std::array<CallState, MUR_DOUBLE_CALL_COUNT> calls{};
    void (*hook)(MurDoubleCall) = nullptr;
};

State &TheState()
{
    static State state;
    return state;
}

// What a call is to do: the work (result 0) or a scripted failure.
struct Verdict {
    uint64_t result = 0;
    int64_t lengthOut = MUR_DOUBLE_KEEP_LENGTH;
};

Verdict Enter(MurDoubleCall call, uint32_t lengthSeen, uint32_t domain, uint32_t algorithm)
{
    State &s = TheState();
    Verdict v;
    void (*hook)(MurDoubleCall) = nullptr;
    {
        std::lock_guard lock(s.mutex);
        CallState &c = s.calls[call];
        if (c.count < kSeenMax) {
            c.seen[c.count] = lengthSeen;
        }
        ++c.count;
        c.lastDomain = domain;
        c.lastAlgorithm = algorithm;
        if (c.scripted > 0) {
            Failure &f = c.script[0];
            v.result = f.result;
            v.lengthOut = f.lengthOut;
            if (--f.calls == 0) {
                for (size_t i = 1; i < c.scripted; ++i) {
                    c.script[i - 1] = c.script[i];
                }
                --c.scripted;
            }
        } else {
            v.result = c.always;
        }
        hook = s.hook;
    }
    if (hook != nullptr) {
        hook(call);
    }
    return v;
}

// Applies a scripted failure to the length pointer; true when the call is to
// fail with v.result.
bool Scripted(const Verdict &v, uint32_t *length)
{
    if (v.result == 0) {
        return false;
    }
    if (length != nullptr && v.lengthOut != MUR_DOUBLE_KEEP_LENGTH) {
        *length = static_cast<uint32_t>(v.lengthOut);
    }
    return true;
}

uint32_t Load32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Store32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

unsigned char KeyByte(uint32_t domain, uint32_t i)
{
    return static_cast<unsigned char>(0xA5u ^ (domain * 31u) ^ (i * 7u) ^ (i >> 8));
}

uint32_t Fnv32(uint32_t seed, const unsigned char *data, uint32_t length)
{
    uint32_t h = 2166136261u ^ seed;
    for (uint32_t i = 0; i < length; ++i) {
        h = (h ^ data[i]) * 16777619u;
    }
    return h;
}

uint32_t HmacSize(uint32_t algorithm)
{
    switch (algorithm) {
    case MUR_HMAC_SHA256:
        return 32;
    case MUR_HMAC_SHA384:
        return 48;
    case MUR_HMAC_SHA512:
        return 64;
    default:
        return 0;
    }
}

uint32_t AlgorithmForSize(uint32_t size)
{
    switch (size) {
    case 32:
        return MUR_HMAC_SHA256;
    case 48:
        return MUR_HMAC_SHA384;
    case 64:
        return MUR_HMAC_SHA512;
    default:
        return 0;
    }
}

void ToyDigest(uint32_t domain, uint32_t algorithm, const unsigned char *data, uint32_t length, unsigned char *out,
               uint32_t size)
{
    uint64_t x = (static_cast<uint64_t>(Fnv32(domain * 977u + algorithm, data, length)) << 32) | length;
    for (uint32_t i = 0; i < size; ++i) {
        // splitmix64 steps, one byte each
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
}

} // namespace

extern "C" {

uint64_t MurGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen)
{
    const Verdict v = Enter(MUR_DOUBLE_CIPHER_LEN, plainLen, 0, 0);
    if (Scripted(v, cipherLen)) {
        return v.result;
    }
    if (cipherLen == nullptr || plainLen > UINT32_MAX - MUR_DOUBLE_CIPHER_OVERHEAD) {
        return MUR_DOUBLE_ERR_SHORT_BUFFER;
    }
    *cipherLen = plainLen + MUR_DOUBLE_CIPHER_OVERHEAD;
    return 0;
}

uint64_t MurEncryptEx(uint32_t domain, uint32_t algorithm, const unsigned char *plain, uint32_t plainLen,
                      unsigned char *cipher, uint32_t *cipherLen)
{
    const Verdict v = Enter(MUR_DOUBLE_ENCRYPT, cipherLen != nullptr ? *cipherLen : kNoLength, domain, algorithm);
    if (Scripted(v, cipherLen)) {
        return v.result;
    }
    if (algorithm != MUR_ALG_AES256_GCM) {
        return MUR_DOUBLE_ERR_BAD_ALG;
    }
    if (plain == nullptr || cipher == nullptr || cipherLen == nullptr ||
        plainLen > UINT32_MAX - MUR_DOUBLE_CIPHER_OVERHEAD || *cipherLen < plainLen + MUR_DOUBLE_CIPHER_OVERHEAD) {
        return MUR_DOUBLE_ERR_SHORT_BUFFER;
    }
    Store32(cipher, kMagic);
    Store32(cipher + 4, domain);
    Store32(cipher + 8, plainLen);
    for (uint32_t i = 0; i < plainLen; ++i) {
        cipher[12 + i] = plain[i] ^ KeyByte(domain, i);
    }
    Store32(cipher + 12 + plainLen, Fnv32(domain, plain, plainLen));
    *cipherLen = plainLen + MUR_DOUBLE_CIPHER_OVERHEAD;
    return 0;
}

uint64_t MurDecryptEx(uint32_t domain, const unsigned char *cipher, uint32_t cipherLen, unsigned char *plain,
                      uint32_t *plainLen)
{
    const Verdict v = Enter(MUR_DOUBLE_DECRYPT, plainLen != nullptr ? *plainLen : kNoLength, domain, 0);
    if (Scripted(v, plainLen)) {
        return v.result;
    }
    if (cipher == nullptr || plain == nullptr || plainLen == nullptr || cipherLen < MUR_DOUBLE_CIPHER_OVERHEAD ||
        Load32(cipher) != kMagic || Load32(cipher + 4) != domain) {
        return MUR_DOUBLE_ERR_BAD_CIPHER;
    }
    const uint32_t length = Load32(cipher + 8);
    if (length != cipherLen - MUR_DOUBLE_CIPHER_OVERHEAD) {
        return MUR_DOUBLE_ERR_BAD_CIPHER;
    }
    if (*plainLen < length) {
        return MUR_DOUBLE_ERR_SHORT_BUFFER;
    }
    for (uint32_t i = 0; i < length; ++i) {
        plain[i] = cipher[12 + i] ^ KeyByte(domain, i);
    }
    if (Fnv32(domain, plain, length) != Load32(cipher + 12 + length)) {
        std::memset(plain, 0, length);
        return MUR_DOUBLE_ERR_BAD_CIPHER;
    }
    *plainLen = length;
    return 0;
}

uint64_t MurGetHmacLenEx(uint32_t *hmacLen)
{
    const Verdict v = Enter(MUR_DOUBLE_HMAC_LEN, hmacLen != nullptr ? *hmacLen : kNoLength, 0, 0);
    if (Scripted(v, hmacLen)) {
        return v.result;
    }
    if (hmacLen == nullptr) {
        return MUR_DOUBLE_ERR_SHORT_BUFFER;
    }
    *hmacLen = MUR_DOUBLE_HMAC_MAX;
    return 0;
}

uint64_t MurHmacEx(uint32_t domain, uint32_t algorithm, const unsigned char *data, uint32_t dataLen,
                   unsigned char *hmac, uint32_t *hmacLen)
{
    const Verdict v = Enter(MUR_DOUBLE_HMAC, hmacLen != nullptr ? *hmacLen : kNoLength, domain, algorithm);
    if (Scripted(v, hmacLen)) {
        return v.result;
    }
    const uint32_t size = HmacSize(algorithm);
    if (size == 0) {
        return MUR_DOUBLE_ERR_BAD_ALG;
    }
    if (data == nullptr || hmac == nullptr || hmacLen == nullptr || *hmacLen < size) {
        return MUR_DOUBLE_ERR_SHORT_BUFFER;
    }
    ToyDigest(domain, algorithm, data, dataLen, hmac, size);
    *hmacLen = size;
    return 0;
}

uint64_t MurVerifyHmacEx(uint32_t domain, const unsigned char *data, uint32_t dataLen, const unsigned char *hmac,
                         uint32_t hmacLen)
{
    const Verdict v = Enter(MUR_DOUBLE_VERIFY, hmacLen, domain, 0);
    if (v.result != 0) {
        return v.result;
    }
    const uint32_t algorithm = AlgorithmForSize(hmacLen);
    if (data == nullptr || hmac == nullptr || algorithm == 0) {
        return MUR_DOUBLE_ERR_BAD_HMAC;
    }
    std::array<unsigned char, MUR_DOUBLE_HMAC_MAX> expected{};
    ToyDigest(domain, algorithm, data, dataLen, expected.data(), hmacLen);
    return std::memcmp(expected.data(), hmac, hmacLen) == 0 ? 0 : MUR_DOUBLE_ERR_BAD_HMAC;
}

void MurDouble_Reset(void)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    s.calls = {};
    s.hook = nullptr;
}

void MurDouble_FailNext(MurDoubleCall call, uint32_t calls, uint64_t result, int64_t lengthOut)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT || calls == 0 || result == 0) {
        return;
    }
    std::lock_guard lock(TheState().mutex);
    CallState &c = TheState().calls[call];
    if (c.scripted < kScriptMax) {
        c.script[c.scripted++] = Failure{result, lengthOut, calls};
    }
}

void MurDouble_FailAlways(MurDoubleCall call, uint64_t result)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT) {
        return;
    }
    std::lock_guard lock(TheState().mutex);
    TheState().calls[call].always = result;
}

uint32_t MurDouble_CallCount(MurDoubleCall call)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT) {
        return 0;
    }
    std::lock_guard lock(TheState().mutex);
    return TheState().calls[call].count;
}

uint32_t MurDouble_LengthSeen(MurDoubleCall call, uint32_t index)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT || index >= kSeenMax) {
        return UINT32_MAX;
    }
    std::lock_guard lock(TheState().mutex);
    const CallState &c = TheState().calls[call];
    return index < c.count ? c.seen[index] : UINT32_MAX;
}

uint32_t MurDouble_LastDomain(MurDoubleCall call)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT) {
        return 0;
    }
    std::lock_guard lock(TheState().mutex);
    return TheState().calls[call].lastDomain;
}

uint32_t MurDouble_LastAlgorithm(MurDoubleCall call)
{
    if (call < 0 || call >= MUR_DOUBLE_CALL_COUNT) {
        return 0;
    }
    std::lock_guard lock(TheState().mutex);
    return TheState().calls[call].lastAlgorithm;
}

void MurDouble_SetHook(void (*hook)(MurDoubleCall call))
{
    std::lock_guard lock(TheState().mutex);
    TheState().hook = hook;
}
}
