// The constant tables the format engine walks: the class of every format
// byte, the state each class leads to, the flag bits and the digit strings.
#pragma once

#include <array>
#include <cstdint>

// Internal to the library: the tables stay out of the programs' exports.
#pragma GCC visibility push(hidden)

namespace bounded::format {

// Parser states; the value of each is its row in kTransition.
enum State : std::uint8_t {
    kNormal = 0,
    kPercent,
    kFlag,
    kWidth,
    kDot,
    kPrecision,
    kSize,
    kType,
    kInvalid,
    kStateCount
};

// Byte classes; the value of each is its column in kTransition.
enum CharClass : std::uint8_t {
    kOrdinary = 0,
    kPercentSign,
    kPeriod,
    kAsterisk,
    kZero,
    kDigit,
    kFlagClass,
    kSizeChar,
    kConversion,
    kClassCount
};

// Bits of FormatSpec::flagBits.
inline constexpr std::int32_t kFlagPlus = 0x1;
inline constexpr std::int32_t kFlagSpace = 0x2;
inline constexpr std::int32_t kFlagLeft = 0x4;
inline constexpr std::int32_t kFlagZero = 0x8;
inline constexpr std::int32_t kFlagLong = 0x10;
inline constexpr std::int32_t kFlagShort = 0x20;
inline constexpr std::int32_t kFlagSigned = 0x40;
inline constexpr std::int32_t kFlagAlternate = 0x80;
inline constexpr std::int32_t kFlagNegative = 0x100;
inline constexpr std::int32_t kFlagOctalZero = 0x200;
inline constexpr std::int32_t kFlagLongDouble = 0x400;
inline constexpr std::int32_t kFlagWide = 0x800;
inline constexpr std::int32_t kFlagInt64 = 0x1000;
inline constexpr std::int32_t kFlagChar = 0x2000;
inline constexpr std::int32_t kFlagPointer = 0x4000;
inline constexpr std::int32_t kFlagI64 = 0x8000;
inline constexpr std::int32_t kFlagPtrdiff = 0x10000;
inline constexpr std::int32_t kFlagSize = 0x20000;
inline constexpr std::int32_t kFlagIntmax = 0x40000;

// Limits of widths and precisions. A digit is refused once the value
// already exceeds kDigitLimit, so digits alone reach kDigitLimit * 10 + 9;
// a value taken from the argument list may not exceed kArgumentLimit.
inline constexpr std::int32_t kDigitLimit = 21474836;
inline constexpr std::int32_t kArgumentLimit = 214748360;
// Integer text is built in the work buffer, so its precision is capped.
inline constexpr std::int32_t kWorkBufferSize = 512;
inline constexpr std::int32_t kIntegerPrecisionCap = 512;

// The 17th character is the letter of the 0x / 0X prefix.
inline constexpr char kLowerDigits[] = "0123456789abcdefx";
inline constexpr char kUpperDigits[] = "0123456789ABCDEFX";

inline constexpr std::array<std::uint8_t, 256> kCharClass = [] {
    std::array<std::uint8_t, 256> t{}; // everything else is ordinary
    t['%'] = kPercentSign;
    t['.'] = kPeriod;
    t['*'] = kAsterisk;
    t['0'] = kZero;
    for (unsigned char c = '1'; c <= '9'; ++c) {
        t[c] = kDigit;
    }
    for (unsigned char c : {' ', '#', '+', '-'}) {
        t[c] = kFlagClass;
    }
    for (unsigned char c : {'I', 'L', 'N', 'Z', 'h', 'j', 'l', 'q', 't', 'w', 'z'}) {
        t[c] = kSizeChar;
    }
    for (unsigned char c : {'C', 'E', 'F', 'G', 'S', 'X', 'c', 'd', 'e', 'f', 'g', 'i', 'o', 'p', 's', 'u', 'x'}) {
        t[c] = kConversion;
    }
    return t;
}();

// New state, indexed by [current state][class of the byte]. The Invalid
// row is never consulted: entering Invalid ends the call.
inline constexpr std::uint8_t kTransition[kStateCount][kClassCount] = {
    //            ordinary  %         .         *           0           1-9         flag      size    conversion
    /* Normal */ {kNormal, kPercent, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal},
    /* Percent */ {kInvalid, kNormal, kDot, kWidth, kFlag, kWidth, kFlag, kSize, kType},
    /* Flag */ {kInvalid, kInvalid, kDot, kWidth, kFlag, kWidth, kFlag, kSize, kType},
    /* Width */ {kInvalid, kInvalid, kDot, kInvalid, kWidth, kWidth, kFlag, kSize, kType},
    /* Dot */ {kInvalid, kInvalid, kInvalid, kPrecision, kPrecision, kPrecision, kInvalid, kSize, kType},
    /* Precision */ {kInvalid, kInvalid, kInvalid, kInvalid, kPrecision, kPrecision, kInvalid, kSize, kType},
    /* Size */ {kInvalid, kInvalid, kInvalid, kInvalid, kInvalid, kInvalid, kInvalid, kSize, kType},
    /* Type */ {kNormal, kPercent, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal},
    /* Invalid */ {kNormal, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal, kNormal},
};

// The flag bit a flag character sets.
constexpr std::int32_t FlagBitOf(unsigned char c)
{
    switch (c) {
    case '+': return kFlagPlus;
    case ' ': return kFlagSpace;
    case '-': return kFlagLeft;
    case '0': return kFlagZero;
    case '#': return kFlagAlternate;
    default: return 0;
    }
}

} // namespace bounded::format

#pragma GCC visibility pop
