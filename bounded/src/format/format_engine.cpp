// The engine's main loop and the actions that parse a directive: flags,
// width, precision and size characters. Conversions live in files of their
// own; this file only dispatches to them.
#include "format/format_engine.h"
#include "format/format_tables.h"
#include "format/output_cursor.h"

#include <climits>

using namespace bounded::format;

namespace {

// Releases the engine's copy of the argument list on every return path.
class ArgListCopy {
public:
    explicit ArgListCopy(va_list source) { va_copy(list_.ap, source); }
    ~ArgListCopy() { va_end(list_.ap); }
    ArgListCopy(const ArgListCopy &) = delete;
    ArgListCopy &operator=(const ArgListCopy &) = delete;
    ArgList &get() { return list_; }

private:
    ArgList list_;
};

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
        spec.fieldWidth = va_arg(args.ap, int);
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
        spec.precision = va_arg(args.ap, int);
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
    switch (c) {
    case 'c':
    case 'C': ConvertCharacter(spec, c, args); break;
    case 's':
    case 'S': ConvertString(spec, c, args); break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G': return ConvertAndEmitFloat(cursor, spec, c, args);
    default: ConvertInteger(spec, c, args); break;
    }
    return EmitField(cursor, spec);
}

} // namespace

extern "C" int SecFormatEngine(OutputCursor *cursor, const char *format, va_list argList)
{
    ArgListCopy argsCopy(argList);
    ArgList &args = argsCopy.get();
    FormatSpec spec; // the work buffer is always written before it is read
    spec.digitChars = kLowerDigits;
    spec.textStart = nullptr;
    spec.base = 10;
    spec.padCount = 0;
    spec.prefixChars[0] = spec.prefixChars[1] = '\0';
    StartDirective(spec);

    std::uint8_t state = kNormal;
    std::int32_t count = 0;
    for (const char *p = format; *p != '\0' && count >= 0; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const std::uint8_t previous = state;
        state = kTransition[state][kCharClass[c]];
        switch (state) {
        case kNormal:
            if (!EmitChar(*cursor, static_cast<char>(c))) {
                return -1;
            }
            ++count;
            break;
        case kPercent: StartDirective(spec); break;
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
            switch (OnSize(spec, p, *cursor)) {
            case SizeOutcome::kDirective: break;
            case SizeOutcome::kLetterI:
                ++count;
                state = kNormal;
                break;
            case SizeOutcome::kRoomExhausted: return -1;
            }
            break;
        case kType: {
            const std::int32_t emitted = OnType(*cursor, spec, c, args);
            count = emitted < 0 ? -1 : count + emitted;
            break;
        }
        default: return -1; // Invalid: the directive is refused
        }
    }
    return (state == kNormal || state == kType) ? count : -1;
}
