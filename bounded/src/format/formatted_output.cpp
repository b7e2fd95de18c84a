// The exported formatted-output functions: argument checks, the cursor over
// the destination, the terminator, and telling a fitting result from a
// truncated one and from a refused format.
#include "bounded.h"
#include "format/format_engine.h"

namespace {

// SecVsnprintfImpl's work, inlined into the checked entry points.
[[gnu::always_inline]] inline int FormatUnchecked(char *string, size_t count, const char *format, va_list argList)
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

// vsprintf_s on a list the caller no longer needs.
[[gnu::always_inline]] inline int FormatChecked(char *strDest, size_t destMax, const char *format, va_list argList)
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
    const int r = FormatUnchecked(strDest, destMax, format, argList);
    if (r < 0) {
        strDest[0] = '\0';
        return -1;
    }
    return r;
}

} // namespace

extern "C" int SecVsnprintfImpl(char *string, size_t count, const char *format, va_list argList)
{
    return FormatUnchecked(string, count, format, argList);
}

extern "C" int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
{
    va_list copy; // the caller's list stays as it was
    va_copy(copy, argList);
    const int r = FormatChecked(strDest, destMax, format, copy);
    va_end(copy);
    return r;
}

// Same result as vsprintf_s on the gathered list, without a second copy of it.
extern "C" int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int r = FormatChecked(strDest, destMax, format, ap);
    va_end(ap);
    return r;
}
