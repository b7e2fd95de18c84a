// Integer and pointer conversions (d, i, o, u, x, X, p): the digits are
// built right to left at the end of the work buffer, then precision, the
// octal zero, the sign and the (nil) of a null pointer are applied.
#pragma once

#include "format/format_engine.h"
#include "format/format_tables.h"

#include <cstring>

// Internal to the library: the tables stay out of the programs' exports.
#pragma GCC visibility push(hidden)

namespace bounded::format {

// "00" "01" ... "99": two decimal digits per division.
inline constexpr auto kDigitPairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
        t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

inline constexpr char kNil[] = "(nil)";

template <typename U>
inline char *WriteDecimal(char *end, U value)
{
    while (value >= 100) {
        const auto pair = static_cast<std::size_t>(value % 100) * 2;
        value /= 100;
        end -= 2;
        std::memcpy(end, &kDigitPairs[pair], 2);
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, &kDigitPairs[static_cast<std::size_t>(value) * 2], 2);
    } else if (value != 0) {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// Writes the digits of value (none for 0) so that they end at `end`;
// returns the first.
inline char *WriteDigits(char *end, std::uint64_t value, std::int32_t base, const char *digits)
{
    switch (base) {
    case 10:
        if (value <= 0xFFFFFFFFU) {
            return WriteDecimal(end, static_cast<std::uint32_t>(value)); // cheaper division
        }
        return WriteDecimal(end, value);
    case 16:
        for (; value != 0; value >>= 4) {
            *--end = digits[value & 0xF];
        }
        return end;
    default:
        for (; value != 0; value >>= 3) {
            *--end = digits[value & 0x7];
        }
        return end;
    }
}

// Takes the argument at the width the size characters give. Signed
// conversions sign-extend from that width; the rest zero-extend.
inline std::uint64_t TakeValue(FormatSpec &spec, ArgList &args)
{
    const std::int32_t f = spec.flagBits;
    const bool isSigned = (f & kFlagSigned) != 0;
    if ((f & kFlagPointer) != 0) {
        return reinterpret_cast<std::uintptr_t>(va_arg(*args.list, const void *));
    }
    // 64 bits for l, ll, L, q and I64; then hh and h win over j, z and t.
    const bool wide64 = (f & (kFlagI64 | kFlagInt64 | kFlagLong)) != 0;
    const bool narrowed = (f & (kFlagChar | kFlagShort)) != 0;
    const bool typed64 = (f & (kFlagPtrdiff | kFlagSize | kFlagIntmax)) != 0;
    std::int64_t s = 0;
    std::uint64_t u = 0;
    if (wide64 || (!narrowed && typed64)) {
        if (isSigned) {
            s = va_arg(*args.list, long long);
        } else {
            u = va_arg(*args.list, unsigned long long);
        }
    } else {
        const int v = va_arg(*args.list, int);
        if ((f & kFlagChar) != 0) {
            s = static_cast<signed char>(v);
            u = static_cast<unsigned char>(v);
        } else if ((f & kFlagShort) != 0) {
            s = static_cast<short>(v);
            u = static_cast<unsigned short>(v);
        } else {
            s = v;
            u = static_cast<unsigned int>(v);
        }
    }
    if (!isSigned) {
        return u;
    }
    if (s < 0) {
        spec.flagBits |= kFlagNegative;
        return 0 - static_cast<std::uint64_t>(s); // the most negative value too
    }
    return static_cast<std::uint64_t>(s);
}

[[gnu::always_inline]] inline void ConvertInteger(FormatSpec &spec, unsigned char conversion, ArgList &args)
{
    spec.digitChars = kLowerDigits;
    switch (conversion) {
    case 'd':
    case 'i':
        spec.flagBits |= kFlagSigned;
        spec.base = 10;
        break;
    case 'u': spec.base = 10; break;
    case 'o':
        spec.base = 8;
        if ((spec.flagBits & kFlagAlternate) != 0) {
            spec.flagBits |= kFlagOctalZero;
        }
        break;
    case 'p':
        spec.base = 16;
        spec.flagBits |= kFlagPointer | kFlagI64 | kFlagAlternate;
        spec.precision = 0;
        spec.prefixChars[0] = '0';
        spec.prefixChars[1] = 'x';
        spec.prefixCount = 2;
        break;
    default: // x, X
        spec.base = 16;
        if (conversion == 'X') {
            spec.digitChars = kUpperDigits;
        }
        if ((spec.flagBits & kFlagAlternate) != 0) {
            spec.prefixChars[0] = '0';
            spec.prefixChars[1] = spec.digitChars[16];
            spec.prefixCount = 2;
        }
        break;
    }

    const std::uint64_t value = TakeValue(spec, args);
    char *const end = spec.workBuffer + kWorkBufferSize;
    char *text = WriteDigits(end, value, spec.base, spec.digitChars);
    if (value == 0) {
        spec.prefixCount = 0;
    }
    std::int32_t count = static_cast<std::int32_t>(end - text);

    if (spec.precision < 0) {
        if (count == 0) {
            *--text = '0';
            count = 1;
        }
    } else {
        if ((spec.flagBits & kFlagPointer) == 0) {
            spec.flagBits &= ~kFlagZero; // a given precision replaces zero fill
        }
        if (spec.precision > kIntegerPrecisionCap) {
            spec.precision = kIntegerPrecisionCap;
        }
        if (count < spec.precision) {
            const std::int32_t zeros = spec.precision - count;
            text -= zeros;
            std::memset(text, '0', static_cast<std::size_t>(zeros));
            count = spec.precision;
        }
    }

    if ((spec.flagBits & kFlagOctalZero) != 0 && (count == 0 || *text != '0')) {
        *--text = '0';
        ++count;
    }

    if ((spec.flagBits & kFlagSigned) != 0) {
        if ((spec.flagBits & kFlagNegative) != 0) {
            spec.prefixChars[0] = '-';
            spec.prefixCount = 1;
        } else if ((spec.flagBits & kFlagPlus) != 0) {
            spec.prefixChars[0] = '+';
            spec.prefixCount = 1;
        } else if ((spec.flagBits & kFlagSpace) != 0) {
            spec.prefixChars[0] = ' ';
            spec.prefixCount = 1;
        }
    }

    spec.textStart = text;
    if ((spec.flagBits & kFlagPointer) != 0 && value == 0) {
        spec.textStart = kNil;
        count = 5;
        spec.flagBits &= ~kFlagZero;
    }
    spec.textCount = count;
    spec.isWideText = 0;
}

} // namespace bounded::format

#pragma GCC visibility pop
