// The agent's Base64 coding on arbitrary input.
//
// Input: byte 0 holds flags, the rest is both a text to decode (it may hold
// NUL bytes: the decoder stops at the first) and a byte string to encode.
//   bit 0: the length handed to the decoder counts one byte past the text
//          (as callers that pass the terminator do).
// Checks: decoding never reads or writes out of bounds (ASan); a result is
// never longer than three quarters of the text; a canonical text (length a
// multiple of 4, alphabet only, at most two '=' at the end, zero spare
// bits) decodes and encodes back to itself; any non-empty byte string
// survives an encode and decode unchanged, and the encoded length counts its
// NUL; encoding nothing fails.
#include "zorva_main.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Value(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

bool Canonical(const std::string &t)
{
    if (t.empty() || t.size() % 4 != 0) {
        return false;
    }
    size_t pad = 0;
    while (pad < 2 && t[t.size() - 1 - pad] == '=') {
        ++pad;
    }
    for (size_t i = 0; i < t.size() - pad; ++i) {
        if (Value(t[i]) < 0) {
            return false;
        }
    }
    const int last = Value(t[t.size() - 1 - pad]);
    return pad == 0 || (pad == 1 && (last & 0x3) == 0) || (pad == 2 && (last & 0xF) == 0);
}

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4097) {
        return -1;
    }
    const uint8_t flags = data[0];
    const std::vector<char> text(data + 1, data + size); // exactly the input: no terminator unless inside
    const std::string asString(text.begin(), std::find(text.begin(), text.end(), '\0'));
    const size_t given = text.size() + ((flags & 1) != 0 ? 1 : 0);

    // The text in a heap block of exactly its size plus one NUL only when the
    // length handed over reaches past it.
    std::vector<char> block(text);
    if ((flags & 1) != 0 || block.empty()) {
        block.push_back('\0');
    }
    unsigned char *decoded = nullptr;
    uint32_t decodedLen = 0;
    const int rc = ZORVA_Base64Decode(block.data(), static_cast<uint32_t>(given), &decoded, &decodedLen);
    if (rc == 0) {
        Check(decoded != nullptr && decodedLen > 0 && decodedLen <= asString.size() * 3 / 4);
    } else {
        Check(decoded == nullptr);
    }
    if (Canonical(asString)) {
        Check(rc == 0);
        char *again = nullptr;
        uint32_t againLen = 0;
        Check(ZORVA_Base64Encode(decoded, decodedLen, &again, &againLen) == 0);
        Check(againLen == asString.size() + 1 && asString == again);
        ZORVA_MemClearFree(again, againLen);
    }
    ZORVA_MemClearFree(decoded, decodedLen);

    const auto *bytes = data + 1;
    const auto count = static_cast<uint32_t>(size - 1);
    char *encoded = nullptr;
    uint32_t encodedLen = 0;
    if (count == 0) {
        // Nothing to encode is a failure, and the outputs stay as they were.
        Check(ZORVA_Base64Encode(bytes, 0, &encoded, &encodedLen) != 0 && encoded == nullptr && encodedLen == 0);
        return 0;
    }
    Check(ZORVA_Base64Encode(bytes, count, &encoded, &encodedLen) == 0);
    Check(encodedLen == ZORVA_Base64EncodeLen(count) && std::strlen(encoded) + 1 == encodedLen);
    {
        unsigned char *back = nullptr;
        uint32_t backLen = 0;
        Check(ZORVA_Base64Decode(encoded, encodedLen, &back, &backLen) == 0);
        Check(backLen == count && std::memcmp(back, bytes, count) == 0);
        ZORVA_MemClearFree(back, backLen);
    }
    ZORVA_MemClearFree(encoded, encodedLen);
    return 0;
}
