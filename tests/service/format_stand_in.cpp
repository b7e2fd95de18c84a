// Formatted output for the service tests while the bounded library does not
// carry its own yet: the same contract (character count, or -1 with an
// emptied destination when the text does not fit).
#include "bounded.h"

#include <cstdio>

extern "C" int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
{
    if (strDest == nullptr || format == nullptr || destMax == 0 || destMax > BOUNDED_MAX_LEN) {
        return -1;
    }
    const int n = vsnprintf(strDest, destMax, format, argList);
    if (n < 0 || static_cast<size_t>(n) >= destMax) {
        strDest[0] = '\0';
        return -1;
    }
    return n;
}

extern "C" int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vsprintf_s(strDest, destMax, format, args);
    va_end(args);
    return n;
}
