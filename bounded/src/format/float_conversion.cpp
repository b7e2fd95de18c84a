// Floating-point conversions (e, E, f, F, g, G), handed to the platform's
// formatter through SecFloatPrint into a buffer sized for the worst case.
//
// The directive given to the formatter is rebuilt from the parsed record
// rather than copied from the format: the engine accepts size characters
// (ll, I64, w, N, ...) and flag/width orders the platform reads otherwise,
// and a formatter that read a long double where a double was passed, or
// echoed an unparsed directive, could write past the buffer sized here.
// The rebuilt directive says exactly what the engine understood.
#include "format/format_engine.h"
#include "format/format_tables.h"
#include "format/output_cursor.h"

#include <cstdlib>
#include <memory>

namespace bounded::format {

namespace {

// Precision limits and the room beyond the precision that the longest
// double or long double text needs (integer digits, sign, point, exponent).
constexpr std::int32_t kDoublePrecisionLimit = 214748011;
constexpr std::int32_t kDoubleExtra = 351;
constexpr std::int32_t kLongDoublePrecisionLimit = 214743388;
constexpr std::int32_t kLongDoubleExtra = 4974;

// "%" five flags, width, ".", precision, "L", conversion, NUL.
constexpr std::size_t kDirectiveMax = 32;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

char *AppendDecimal(char *out, std::int32_t value)
{
    char digits[12];
    char *d = digits + sizeof digits;
    do {
        *--d = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (d < digits + sizeof digits) {
        *out++ = *d++;
    }
    return out;
}

void BuildDirective(char (&out)[kDirectiveMax], const FormatSpec &spec, unsigned char conversion)
{
    char *p = out;
    *p++ = '%';
    static constexpr struct {
        std::int32_t bit;
        char c;
    } kFlags[] = {{kFlagLeft, '-'}, {kFlagPlus, '+'}, {kFlagSpace, ' '}, {kFlagAlternate, '#'}, {kFlagZero, '0'}};
    for (const auto &f : kFlags) {
        if ((spec.flagBits & f.bit) != 0) {
            *p++ = f.c;
        }
    }
    if (spec.widthFromArgument != 0) {
        *p++ = '*';
    } else if (spec.fieldWidth > 0) {
        p = AppendDecimal(p, spec.fieldWidth);
    }
    *p++ = '.';
    if (spec.precisionFromArgument != 0) {
        *p++ = '*';
    } else {
        p = AppendDecimal(p, spec.precision);
    }
    if ((spec.flagBits & kFlagLongDouble) != 0) {
        *p++ = 'L';
    }
    *p++ = static_cast<char>(conversion);
    *p = '\0';
}

// Passes the asterisk arguments, in directive order, before the value.
template <typename Value>
int Print(char *buffer, const char *directive, const FormatSpec &spec, Value value)
{
    const int width = (spec.flagBits & kFlagLeft) != 0 ? -spec.fieldWidth : spec.fieldWidth;
    if (spec.widthFromArgument != 0 && spec.precisionFromArgument != 0) {
        return SecFloatPrint(buffer, directive, width, spec.precision, value);
    }
    if (spec.widthFromArgument != 0) {
        return SecFloatPrint(buffer, directive, width, value);
    }
    if (spec.precisionFromArgument != 0) {
        return SecFloatPrint(buffer, directive, spec.precision, value);
    }
    return SecFloatPrint(buffer, directive, value);
}

} // namespace

std::int32_t ConvertAndEmitFloat(OutputCursor &cursor, FormatSpec &spec, unsigned char conversion, ArgList &args)
{
    const bool longDouble = (spec.flagBits & kFlagLongDouble) != 0;
    // A skipped conversion still takes its value, so that every later
    // directive gets its own argument.
    auto skip = [&]() -> std::int32_t {
        if (longDouble) {
            (void)va_arg(*args.list, long double);
        } else {
            (void)va_arg(*args.list, double);
        }
        return 0;
    };

    if (spec.precision < 0) {
        spec.precision = 6;
    }
    if (spec.precision > (longDouble ? kLongDoublePrecisionLimit : kDoublePrecisionLimit)) {
        return skip();
    }
    std::int32_t size = spec.precision + (longDouble ? kLongDoubleExtra : kDoubleExtra);
    if (spec.fieldWidth > size) {
        size = spec.fieldWidth + 2;
    }

    std::unique_ptr<char, FreeDeleter> heap;
    char *buffer = spec.workBuffer;
    if (size > kWorkBufferSize) {
        heap.reset(static_cast<char *>(std::malloc(static_cast<std::size_t>(size))));
        if (!heap) {
            return skip();
        }
        buffer = heap.get();
    }

    char directive[kDirectiveMax];
    BuildDirective(directive, spec, conversion);
    const int r = longDouble ? Print(buffer, directive, spec, va_arg(*args.list, long double))
                             : Print(buffer, directive, spec, va_arg(*args.list, double));
    if (r < 0 || r >= size) {
        return 0;
    }
    return EmitBlock(cursor, buffer, r) ? r : -1;
}

} // namespace bounded::format
