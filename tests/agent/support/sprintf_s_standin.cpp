// Test-only sprintf_s/vsprintf_s for as long as the bounded library has none
// (agent_test.cmake adds this file only then). Same contract: the character
// count, or -1 with dest[0] cleared when the arguments are invalid or the
// output does not fit. Weak, so a real definition linked beside it wins.
#include <cstdarg>
#include <cstdio>

#include "bounded.h"

extern "C" {

__attribute__((weak)) int vsprintf_s(char *strDest, size_t destMax, const char *format, va_list argList)
{
    if (strDest == nullptr || format == nullptr || destMax == 0 || destMax > BOUNDED_MAX_LEN) {
        return -1;
    }
    const int n = std::vsnprintf(strDest, destMax, format, argList);
    if (n < 0 || static_cast<size_t>(n) >= destMax) {
        strDest[0] = '\0';
        return -1;
    }
    return n;
}

__attribute__((weak)) int sprintf_s(char *strDest, size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int n = vsprintf_s(strDest, destMax, format, ap);
    va_end(ap);
    return n;
}
}
