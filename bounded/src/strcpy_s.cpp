// Bounded string copy. A failure with a usable destination empties it by
// setting only dest[0]; the rest of the buffer keeps what it held.
#include "bounded.h"
#include "inline_moves.h"

#include <cstring>

using namespace bounded::detail;

extern "C" int strcpy_error(char *dest, size_t destMax, const char *src)
{
    if (destMax == 0 || destMax > BOUNDED_MAX_LEN) {
        return BOUNDED_ERANGE;
    }
    if (dest == nullptr) {
        return BOUNDED_EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return BOUNDED_EINVAL_RESET;
    }
    if (src[0] == '\0') {
        return BOUNDED_OK;
    }
    if (strnlen(src, destMax) < destMax) {
        return BOUNDED_OK; // fits: only dest == src gets here through strcpy_s
    }
    dest[0] = '\0';
    return BOUNDED_ERANGE_RESET;
}

extern "C" int strcpy_s(char *dest, size_t destMax, const char *src)
{
    if (destMax == 0 || destMax > BOUNDED_MAX_LEN || dest == nullptr || src == nullptr || dest == src) {
        return strcpy_error(dest, destMax, src);
    }
    const size_t len = strnlen(src, destMax);
    const size_t n = len + 1;
    if (n > destMax) {
        return strcpy_error(dest, destMax, src);
    }
    if (RangesOverlap(dest, src, n)) {
        dest[0] = '\0';
        return BOUNDED_OVERLAP_RESET;
    }
    if (n > kInlineStringMax) {
        std::memcpy(dest, src, n);
    } else {
        InlineCopy(dest, src, n);
    }
    return BOUNDED_OK;
}
