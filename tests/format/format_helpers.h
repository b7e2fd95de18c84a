// Runs the formatted-output functions into guarded destinations. The
// helpers carry no printf format attribute, so tests can pass the
// directives the compiler's format checker does not know (I64, w, %n...).
#pragma once

#include "bounded.h"
#include "guarded_buffer.h"

#include <cstdarg>
#include <string>

struct Formatted {
    int result;
    std::string text;  // dest up to its first NUL
    std::string bytes; // all destMax bytes of dest
    bool guardsIntact;
};

inline Formatted VFormatInto(int (*fn)(char *, size_t, const char *, va_list), size_t destMax, const char *format,
                             va_list args)
{
    GuardedBuffer dst(destMax);
    Formatted f;
    f.result = fn(dst.chars(), destMax, format, args);
    f.bytes.assign(dst.chars(), destMax);
    f.text = f.bytes.substr(0, f.bytes.find('\0'));
    f.guardsIntact = dst.GuardsIntact();
    return f;
}

// vsprintf_s into a guarded destination of destMax bytes.
inline Formatted FormatN(size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Formatted f = VFormatInto(vsprintf_s, destMax, format, ap);
    va_end(ap);
    return f;
}

// SecVsnprintfImpl, which tells a refusal (-1) from a truncation (-2).
inline Formatted ImplN(size_t destMax, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Formatted f = VFormatInto(SecVsnprintfImpl, destMax, format, ap);
    va_end(ap);
    return f;
}

// The text of a directive that must succeed in a roomy destination; a
// failure shows up as a distinctive string in the comparison.
inline std::string Fmt(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Formatted f = VFormatInto(vsprintf_s, 2048, format, ap);
    va_end(ap);
    if (!f.guardsIntact) {
        return "<guard bytes overwritten>";
    }
    if (f.result < 0) {
        return "<refused " + std::to_string(f.result) + ">";
    }
    if (static_cast<size_t>(f.result) != f.text.size()) {
        return "<count " + std::to_string(f.result) + " for " + std::to_string(f.text.size()) + " characters>";
    }
    return f.text;
}
