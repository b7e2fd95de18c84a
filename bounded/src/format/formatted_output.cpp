// The exported formatted-output functions: argument checks, the cursor over
// the destination, the terminator, and telling a fitting result from a
// truncated one and from a refused format.
#include "bounded.h"
#include "format/format_engine.h"

extern "C" int SecVsnprintfImpl(char *string, size_t count, const char *format, va_list argList)
{
    OutputCursor cursor{static_cast<std::int32_t>(count), string};
    const int r = SecFormatEngine(&cursor, format, argList);
    if (r >= 0) {
        if (--cursor.remaining >= 0) {
            *cursor.next = '\0';
            return r;
        }
        string[count - 1] = '\0'; // exactly count characters: no room for the NUL
        return -2;
    }
    if (cursor.remaining >= 0) {
        string[0] = '\0'; // refused before the room ran out
        return -1;
    }
    string[count - 1] = '\0';
    return -2;
}

extern "C" int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
{
    const bool destMaxValid = destMax != 0 && destMax <= BOUNDED_MAX_LEN;
    if (format == nullptr || strDest == nullptr) {
        if (strDest != nullptr && destMaxValid) {
            strDest[0] = '\0';
        }
        return -1;
    }
    if (!destMaxValid) {
        return -1;
    }
    va_list copy; // the caller's list stays as it was
    va_copy(copy, argList);
    const int r = SecVsnprintfImpl(strDest, destMax, format, copy);
    va_end(copy);
    if (r < 0) {
        strDest[0] = '\0';
        return -1;
    }
    return r;
}

extern "C" int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int r = vsprintf_s(strDest, destMax, format, ap);
    va_end(ap);
    return r;
}
