// Emitting through an OutputCursor. A run of characters that does not fit
// writes as many as the room allows and then fails, exactly as emitting
// them one at a time would.
#pragma once

#include "format/format_engine.h"

#include <cstdint>
#include <cstring>

namespace bounded::format {

inline bool EmitChar(OutputCursor &cursor, char c)
{
    if (--cursor.remaining < 0) {
        return false;
    }
    *cursor.next++ = c;
    return true;
}

// Marks the cursor exhausted after writing the `room` characters that fit.
inline bool FailAfter(OutputCursor &cursor, std::int32_t room)
{
    cursor.next += room;
    cursor.remaining = -1;
    return false;
}

// Emits n copies of c (n > 0).
inline bool EmitRepeat(OutputCursor &cursor, char c, std::int32_t n)
{
    if (cursor.remaining >= n) {
        std::memset(cursor.next, c, static_cast<std::size_t>(n));
        cursor.next += n;
        cursor.remaining -= n;
        return true;
    }
    const std::int32_t room = cursor.remaining > 0 ? cursor.remaining : 0;
    std::memset(cursor.next, c, static_cast<std::size_t>(room));
    return FailAfter(cursor, room);
}

// Copies up to 11 bytes without a call: two possibly overlapping moves of
// the largest power-of-two size that fits, each within [0, n).
inline void CopyShort(char *d, const char *s, std::int32_t n)
{
    if (n >= 8) {
        std::uint64_t a;
        std::uint64_t b;
        __builtin_memcpy(&a, s, 8);
        __builtin_memcpy(&b, s + n - 8, 8);
        __builtin_memcpy(d, &a, 8);
        __builtin_memcpy(d + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a;
        std::uint32_t b;
        __builtin_memcpy(&a, s, 4);
        __builtin_memcpy(&b, s + n - 4, 4);
        __builtin_memcpy(d, &a, 4);
        __builtin_memcpy(d + n - 4, &b, 4);
    } else if (n > 0) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
}

// Writes the characters of a run that fit and fails.
[[gnu::noinline, gnu::cold]] inline bool EmitPartial(OutputCursor &cursor, const char *text)
{
    const std::int32_t room = cursor.remaining > 0 ? cursor.remaining : 0;
    if (room > 11) {
        std::memcpy(cursor.next, text, static_cast<std::size_t>(room));
    } else {
        CopyShort(cursor.next, text, room);
    }
    return FailAfter(cursor, room);
}

// Emits n narrow characters (n >= 0); runs longer than 11 go through memcpy.
inline bool EmitBlock(OutputCursor &cursor, const char *text, std::int32_t n)
{
    if (__builtin_expect(cursor.remaining < n, 0)) {
        return EmitPartial(cursor, text);
    }
    if (n > 11) {
        std::memcpy(cursor.next, text, static_cast<std::size_t>(n));
    } else {
        CopyShort(cursor.next, text, n);
    }
    cursor.next += n;
    cursor.remaining -= n;
    return true;
}

} // namespace bounded::format
