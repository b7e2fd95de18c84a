// The one call into the platform's formatter. Kept apart so that nothing
// else in the library depends on the fortified entry point.
#include "format/format_engine.h"

#include <cstddef>
#include <cstdint>

// glibc's fortified vsprintf; its public header declares it only under
// _FORTIFY_SOURCE, with the same type.
extern "C" int __vsprintf_chk(char *s, int flag, std::size_t slen, const char *format, va_list ap) noexcept;

extern "C" int SecFloatPrint(char *buffer, const char *spec, ...)
{
    va_list ap;
    va_start(ap, spec);
    const int r = __vsprintf_chk(buffer, 1, SIZE_MAX, spec, ap);
    va_end(ap);
    return r;
}
