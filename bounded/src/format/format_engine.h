// The format engine: a table-driven state machine over the bytes of a
// printf-style format, writing through a bounded output cursor.
//
// Internal to the bounded library (hidden visibility); the exported entry
// points are sprintf_s, vsprintf_s and SecVsnprintfImpl in bounded.h.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <type_traits>

#define BOUNDED_INTERNAL __attribute__((visibility("hidden")))

// Where the next character goes and how much room is left, the terminator
// included. Emitting a character first takes one unit from `remaining`; a
// character that would make it negative is not written and the emission
// fails. `remaining` is negative from then on.
struct OutputCursor {
    std::int32_t remaining;
    char *next;
};

// The directive being parsed and converted; one per engine call, reset by
// every percent sign that opens a directive.
struct FormatSpec {
    const char *digitChars;         // 17 characters; the last is the x/X of the prefix
    const void *textStart;          // first character of the text (char or wchar_t)
    std::int32_t textCount;         // characters of the text (wide characters when wide)
    std::int32_t isWideText;        // 1 when textStart holds wchar_t
    std::int32_t base;              // 8, 10 or 16
    std::int32_t flagBits;          // kFlag* bits of format_tables.h
    std::int32_t fieldWidth;        // 0 when not given
    std::int32_t precision;         // -1 when not given
    std::int32_t widthFromArgument; // 1 when the width came from an asterisk
    std::int32_t precisionFromArgument;
    std::int32_t padCount;          // fieldWidth - textCount - prefixCount
    std::int32_t prefixCount;       // 0, 1 (sign) or 2 (0x / 0X)
    char prefixChars[2];
    alignas(8) char workBuffer[512]; // digits right-aligned at its end, a character, float text
};

// The variable arguments of one engine call: a handle on the list the
// engine was given, consumed in place (no copy, so no reload of a list its
// caller has just set up). A va_list parameter is a pointer on some
// platforms and a structure on others; its decayed type covers both, and
// every va_arg through the handle advances the one list.
using VaListParam = std::decay_t<va_list>;
struct ArgList {
    VaListParam *list;
};

extern "C" {

// Formats `format` with `args` through `cursor`, consuming `args` as
// vsnprintf does. Returns the number of characters emitted, or -1; on -1 a
// negative cursor->remaining means the room ran out, otherwise the format
// or an argument was refused.
BOUNDED_INTERNAL int SecFormatEngine(OutputCursor *cursor, const char *format, va_list args);

// The platform's fortified vsprintf without a size limit of its own over
// its variable arguments; the caller has sized `buffer` for the result.
BOUNDED_INTERNAL int SecFloatPrint(char *buffer, const char *spec, ...);

} // extern "C"

namespace bounded::format {

// Emits a converted field that needs fill, a prefix or wide conversion
// (EmitField in field_emit.h takes the plain ones itself). Returns the
// number of characters emitted, or -1 when an emission failed or a wide
// character could not be converted.
BOUNDED_INTERNAL std::int32_t EmitDecoratedField(OutputCursor &cursor, FormatSpec &spec);

// Hands a floating-point directive to the platform's formatter and emits
// its text. Returns the characters emitted (0 for a skipped conversion),
// or -1 when an emission failed.
BOUNDED_INTERNAL std::int32_t ConvertAndEmitFloat(OutputCursor &cursor, FormatSpec &spec, unsigned char conversion,
                                                  ArgList &args);

} // namespace bounded::format
