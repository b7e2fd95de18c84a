// Character and string conversions (c, C, s, S). Only the text is located
// and counted here; wide text is converted to multibyte when it is emitted.
#pragma once

#include "format/format_engine.h"
#include "format/format_tables.h"

#include <cstring>
#include <cwchar>

// Internal to the library: the tables stay out of the programs' exports.
#pragma GCC visibility push(hidden)

namespace bounded::format {

inline constexpr char kNullText[] = "(null)";
inline constexpr wchar_t kNullWideText[] = L"(null)";

// Wide character counts from here up are treated as an empty text.
inline constexpr std::uint32_t kWideCountLimit = 0x20000000;

// C and S mean wide unless h, l or w says otherwise.
inline void ApplyWideDefault(FormatSpec &spec, unsigned char conversion)
{
    if ((conversion == 'C' || conversion == 'S') &&
        (spec.flagBits & (kFlagWide | kFlagShort | kFlagLong)) == 0) {
        spec.flagBits |= kFlagWide;
    }
}

inline bool IsWide(const FormatSpec &spec)
{
    return (spec.flagBits & (kFlagWide | kFlagLong)) != 0;
}

inline std::int32_t NarrowLength(const char *text, std::int32_t precision)
{
    if (precision < 0) {
        const std::size_t n = std::strlen(text);
        return n > 0x7FFFFFFF ? 0 : static_cast<std::int32_t>(n);
    }
    return static_cast<std::int32_t>(strnlen(text, static_cast<std::size_t>(precision)));
}

// The precision bounds the count as an unsigned 32-bit number, so -1 sets
// no practical bound.
inline std::int32_t WideLength(const wchar_t *text, std::int32_t precision)
{
    if (precision == 0 || text[0] == L'\0') {
        return 0;
    }
    const auto bound = static_cast<std::uint32_t>(precision);
    std::uint32_t n = 0;
    while (n < bound && text[n] != L'\0') {
        ++n;
    }
    return n >= kWideCountLimit ? 0 : static_cast<std::int32_t>(n);
}

inline void ConvertCharacter(FormatSpec &spec, unsigned char conversion, ArgList &args)
{
    ApplyWideDefault(spec, conversion);
    const int value = va_arg(*args.list, int);
    spec.flagBits &= ~kFlagZero;
    spec.textCount = 1;
    spec.textStart = spec.workBuffer;
    if (IsWide(spec)) {
        const auto wc = static_cast<wchar_t>(value);
        std::memcpy(spec.workBuffer, &wc, sizeof wc);
        spec.isWideText = 1;
    } else {
        spec.workBuffer[0] = static_cast<char>(value);
        spec.isWideText = 0;
    }
}

inline void ConvertString(FormatSpec &spec, unsigned char conversion, ArgList &args)
{
    ApplyWideDefault(spec, conversion);
    const void *arg = va_arg(*args.list, const void *);
    spec.flagBits &= ~kFlagZero;
    if (IsWide(spec)) {
        const auto *text = arg != nullptr ? static_cast<const wchar_t *>(arg) : kNullWideText;
        spec.textStart = text;
        spec.textCount = WideLength(text, spec.precision);
        spec.isWideText = 1;
    } else {
        const auto *text = arg != nullptr ? static_cast<const char *>(arg) : kNullText;
        spec.textStart = text;
        spec.textCount = NarrowLength(text, spec.precision);
        spec.isWideText = 0;
    }
}

} // namespace bounded::format

#pragma GCC visibility pop
