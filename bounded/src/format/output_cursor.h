// Emitting through an OutputCursor. A run of characters that does not fit
// writes as many as the room allows and then fails, exactly as emitting
// them one at a time would.
#pragma once

#include "format/format_engine.h"

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

// Emits n narrow characters (n >= 0); long runs go through memcpy.
inline bool EmitBlock(OutputCursor &cursor, const char *text, std::int32_t n)
{
    const std::int32_t room = cursor.remaining >= n ? n : (cursor.remaining > 0 ? cursor.remaining : 0);
    if (room > 11) {
        std::memcpy(cursor.next, text, static_cast<std::size_t>(room));
    } else {
        for (std::int32_t i = 0; i < room; ++i) {
            cursor.next[i] = text[i];
        }
    }
    if (room < n) {
        return FailAfter(cursor, room);
    }
    cursor.next += n;
    cursor.remaining -= n;
    return true;
}

} // namespace bounded::format
