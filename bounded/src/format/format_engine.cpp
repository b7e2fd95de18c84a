// The engine's main loop and the actions that parse a directive: flags,
// width, precision and size characters. Conversions live in files of their
// own (headers, so that the common ones compile into this loop); this file
// only dispatches to them.
#include "format/format_engine.h"
#include "format/field_emit.h"
#include "format/format_tables.h"
#include "format/integer_conversion.h"
#include "format/output_cursor.h"
#include "format/text_conversion.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace bounded::format;

namespace {

void StartDirective(FormatSpec &spec)
{
    spec.textCount = 0;
    spec.isWideText = 0;
    spec.flagBits = 0;
    spec.fieldWidth = 0;
    spec.precision = -1;
    spec.widthFromArgument = 0;
    spec.precisionFromArgument = 0;
    spec.prefixCount = 0;
}

// A width or precision taken from the argument list (or kept while digits
// after the asterisk are ignored) must stay within kArgumentLimit.
bool AcceptWidthFromArgument(FormatSpec &spec)
{
    if (spec.fieldWidth < 0) {
        spec.flagBits |= kFlagLeft;
        if (spec.fieldWidth == INT_MIN) {
            return false; // its magnitude has no int value
        }
        spec.fieldWidth = -spec.fieldWidth;
    }
    return spec.fieldWidth <= kArgumentLimit;
}

// Returns false to refuse the directive.
bool OnWidth(FormatSpec &spec, unsigned char c, std::uint8_t previous, ArgList &args)
{
    if (c == '*') {
        spec.fieldWidth = va_arg(*args.list, int);
        spec.widthFromArgument = 1;
        return AcceptWidthFromArgument(spec);
    }
    if (spec.widthFromArgument != 0) {
        return AcceptWidthFromArgument(spec); // digits after an asterisk are ignored
    }
    const std::int32_t digit = c - '0';
    if (previous != kWidth) {
        spec.fieldWidth = digit; // a flag between digit runs starts a new width
        return true;
    }
    if (spec.fieldWidth > kDigitLimit) {
        return false;
    }
    spec.fieldWidth = spec.fieldWidth * 10 + digit;
    return true;
}

bool OnPrecision(FormatSpec &spec, unsigned char c, ArgList &args)
{
    if (c == '*') {
        spec.precision = va_arg(*args.list, int);
        spec.precisionFromArgument = 1;
    } else if (spec.precisionFromArgument == 0) {
        if (spec.precision > kDigitLimit) {
            return false;
        }
        spec.precision = spec.precision * 10 + (c - '0');
        return true;
    }
    if (spec.precision < 0) {
        spec.precision = -1; // a negative precision counts as none
    }
    return spec.precision <= kArgumentLimit;
}

bool IsIntegerConversion(unsigned char c)
{
    return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
}

enum class SizeOutcome { kDirective, kLetterI, kRoomExhausted };

// Applies the size character at *p. May consume the bytes that belong to
// it (hh, ll, I32, I64); *p is left on the last byte consumed.
SizeOutcome OnSize(FormatSpec &spec, const char *&p, OutputCursor &cursor)
{
    switch (*p) {
    case 'h':
        if (p[1] == 'h') {
            ++p;
            spec.flagBits |= kFlagChar;
        } else {
            spec.flagBits |= kFlagShort;
        }
        break;
    case 'l':
        if (p[1] == 'l') {
            ++p;
            spec.flagBits |= kFlagInt64;
        } else {
            spec.flagBits |= kFlagLong;
        }
        break;
    case 'L':
    case 'q': spec.flagBits |= kFlagLongDouble | kFlagInt64; break;
    case 'j': spec.flagBits |= kFlagIntmax; break;
    case 'z':
    case 'Z': spec.flagBits |= kFlagSize; break;
    case 't': spec.flagBits |= kFlagPtrdiff; break;
    case 'w': spec.flagBits |= kFlagWide; break;
    case 'I':
        spec.flagBits |= kFlagI64;
        if (p[1] == '6' && p[2] == '4') {
            p += 2;
        } else if (p[1] == '3' && p[2] == '2') {
            p += 2;
            spec.flagBits &= ~kFlagI64;
        } else if (!IsIntegerConversion(static_cast<unsigned char>(p[1]))) {
            // Not a size after all: the letter stands for itself and the
            // directive so far produces nothing.
            return EmitChar(cursor, 'I') ? SizeOutcome::kLetterI : SizeOutcome::kRoomExhausted;
        }
        break;
    default: break; // N: no effect
    }
    return SizeOutcome::kDirective;
}

// Converts and emits the directive ending in c. Returns the characters
// emitted or -1.
std::int32_t OnType(OutputCursor &cursor, FormatSpec &spec, unsigned char c, ArgList &args)
{
    const unsigned char lower = c | 0x20; // the conversions come in letter pairs
    if (lower == 's') {
        ConvertString(spec, c, args);
    } else if (lower == 'c') {
        ConvertCharacter(spec, c, args);
    } else if (lower == 'e' || lower == 'f' || lower == 'g') {
        return ConvertAndEmitFloat(cursor, spec, c, args);
    } else {
        ConvertInteger(spec, c, args); // d, i, o, u, x, X, p
    }
    return EmitField(cursor, spec);
}

// Outside a directive every byte but the percent sign leads to Normal and is
// emitted as it stands, so a run of such bytes is emitted as one block.
constexpr bool LiteralRunsAreNormal()
{
    for (std::uint8_t cls = 0; cls < kClassCount; ++cls) {
        const std::uint8_t expected = cls == kPercentSign ? kPercent : kNormal;
        if (kTransition[kNormal][cls] != expected || kTransition[kType][cls] != expected) {
            return false;
        }
    }
    return true;
}
static_assert(LiteralRunsAreNormal(), "the literal fast path relies on the Normal and Type rows");

// Emits the bytes from p up to the next percent sign or NUL. Returns the
// end of the run, or nullptr when the room ran out.
const char *EmitLiteralRun(OutputCursor &cursor, const char *p, std::int32_t &count)
{
    const char *end = strchrnul(p, '%');
    const std::ptrdiff_t n = end - p;
    // A run beyond INT32_MAX cannot fit any cursor; clamping keeps the failure.
    const auto n32 = static_cast<std::int32_t>(n > INT32_MAX ? INT32_MAX : n);
    if (!EmitBlock(cursor, p, n32)) {
        return nullptr;
    }
    count += n32;
    return end;
}

// Parses and performs the directive whose percent sign p is on, driven by
// the transition table; p is left on the byte after the directive. Returns
// the characters emitted, or -1 when the call ends: refused (a byte leading
// to Invalid, the format ending inside the directive, a width or precision
// out of range, an unconvertible wide character) or out of room.
std::int32_t RunDirective(OutputCursor &cursor, FormatSpec &spec, const char *&p, ArgList &args)
{
    StartDirective(spec);
    std::uint8_t state = kPercent;
    for (;;) {
        const auto c = static_cast<unsigned char>(*++p);
        if (c == '\0') {
            return -1;
        }
        const std::uint8_t previous = state;
        state = kTransition[state][kCharClass[c]];
        if (state == kType) { // most directives are a percent sign and a conversion
            ++p;
            return OnType(cursor, spec, c, args);
        }
        switch (state) {
        case kNormal: // "%%": the second percent sign stands for itself
            ++p;
            return EmitChar(cursor, static_cast<char>(c)) ? 1 : -1;
        case kFlag: spec.flagBits |= FlagBitOf(c); break;
        case kWidth:
            if (!OnWidth(spec, c, previous, args)) {
                return -1;
            }
            break;
        case kDot: spec.precision = 0; break;
        case kPrecision:
            if (!OnPrecision(spec, c, args)) {
                return -1;
            }
            break;
        case kSize:
            switch (OnSize(spec, p, cursor)) {
            case SizeOutcome::kDirective: break;
            case SizeOutcome::kLetterI: ++p; return 1; // back to Normal after the I
            case SizeOutcome::kRoomExhausted: return -1;
            }
            break;
        default: return -1; // Invalid (Percent cannot follow a directive state)
        }
    }
}

} // namespace

extern "C" int SecFormatEngine(OutputCursor *cursor, const char *format, va_list argList)
{
    ArgList args{&argList};
    FormatSpec spec; // the work buffer is always written before it is read
    spec.digitChars = kLowerDigits;
    spec.textStart = nullptr;
    spec.base = 10;
    spec.padCount = 0;
    spec.prefixChars[0] = spec.prefixChars[1] = '\0';

    std::int32_t count = 0;
    const char *p = format;
    for (;;) {
        if (*p != '%') {
            if (*p == '\0') {
                return count;
            }
            p = EmitLiteralRun(*cursor, p, count);
            if (p == nullptr) {
                return -1;
            }
            if (*p == '\0') {
                return count;
            }
        }
        const std::int32_t emitted = RunDirective(*cursor, spec, p, args);
        if (emitted < 0) {
            return -1;
        }
        count += emitted;
    }
}
