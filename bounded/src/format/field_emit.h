// Emitting a converted field. A field that is only its narrow text is
// emitted inline; fill, prefixes and wide text go to EmitDecoratedField.
#pragma once

#include "format/format_engine.h"
#include "format/output_cursor.h"

namespace bounded::format {

// Emits the field: leading spaces, prefix, zeros, text, trailing spaces,
// with padCount = fieldWidth - textCount - prefixCount. Returns the number
// of characters emitted, or -1.
inline std::int32_t EmitField(OutputCursor &cursor, FormatSpec &spec)
{
    spec.padCount = spec.fieldWidth - spec.textCount - spec.prefixCount;
    if (spec.padCount <= 0 && spec.prefixCount == 0 && spec.isWideText == 0) {
        return EmitBlock(cursor, static_cast<const char *>(spec.textStart), spec.textCount) ? spec.textCount : -1;
    }
    return EmitDecoratedField(cursor, spec);
}

} // namespace bounded::format
