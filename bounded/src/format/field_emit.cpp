// Emitting a converted field: leading spaces, prefix, zeros, the text and
// trailing spaces. Width and fill count wide characters, not the bytes they
// become.
#include "format/format_engine.h"
#include "format/format_tables.h"
#include "format/field_emit.h"
#include "format/output_cursor.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace bounded::format {

namespace {

enum class WideResult { kOk, kRoomExhausted, kUnconvertible };

WideResult EmitWideText(OutputCursor &cursor, const FormatSpec &spec)
{
    const auto *bytes = static_cast<const unsigned char *>(spec.textStart);
    for (std::int32_t i = 0; i < spec.textCount; ++i) {
        wchar_t wc;
        std::memcpy(&wc, bytes + static_cast<std::size_t>(i) * sizeof wc, sizeof wc);
        char mb[MB_LEN_MAX];
        const int n = std::wctomb(mb, wc);
        if (n <= 0) {
            return WideResult::kUnconvertible;
        }
        if (!EmitBlock(cursor, mb, n)) {
            return WideResult::kRoomExhausted;
        }
    }
    return WideResult::kOk;
}

} // namespace

std::int32_t EmitDecoratedField(OutputCursor &cursor, FormatSpec &spec)
{
    const std::int32_t before = cursor.remaining;
    const bool left = (spec.flagBits & kFlagLeft) != 0;
    const bool zero = (spec.flagBits & kFlagZero) != 0;

    // Each step runs only while everything before it succeeded; once the
    // room is gone the remaining steps would fail anyway.
    bool ok = true;
    if (!left && !zero && spec.padCount > 0) {
        ok = EmitRepeat(cursor, ' ', spec.padCount);
    }
    if (ok && spec.prefixCount > 0) {
        ok = EmitBlock(cursor, spec.prefixChars, spec.prefixCount);
    }
    if (ok && zero && !left && spec.padCount > 0) {
        ok = EmitRepeat(cursor, '0', spec.padCount);
    }
    if (ok) {
        if (spec.isWideText != 0) {
            switch (EmitWideText(cursor, spec)) {
            case WideResult::kOk: break;
            case WideResult::kRoomExhausted: ok = false; break;
            case WideResult::kUnconvertible: return -1; // refused, with room left
            }
        } else {
            ok = EmitBlock(cursor, static_cast<const char *>(spec.textStart), spec.textCount);
        }
    }
    if (ok && left && spec.padCount > 0) {
        ok = EmitRepeat(cursor, ' ', spec.padCount);
    }
    return ok ? before - cursor.remaining : -1;
}

} // namespace bounded::format
