// Bounded memory fill: one combined fast test, a separate failure classifier.
#include "bounded.h"
#include "inline_moves.h"

#include <cstring>

using namespace bounded::detail;

namespace {

// A reset fills the whole destination with the caller's value, not zero.
[[gnu::noinline, gnu::cold]] int memset_error(void *dest, size_t destMax, int c, size_t count)
{
    if (destMax == 0 || destMax > BOUNDED_MAX_LEN) {
        return BOUNDED_ERANGE;
    }
    if (dest == nullptr) {
        return BOUNDED_EINVAL;
    }
    (void)count; // only count > destMax reaches here
    std::memset(dest, c, destMax);
    return BOUNDED_ERANGE_RESET;
}

[[gnu::always_inline]] inline int FillWithInlineSmall(void *dest, size_t destMax, int c, size_t count, bool boundMax)
{
    if (__builtin_expect(dest != nullptr && (!boundMax || destMax <= BOUNDED_MAX_LEN) && count <= destMax, 1)) {
        if (count > kInlineFillMax) {
            std::memset(dest, c, count);
        } else {
            InlineFill(dest, c, count);
        }
        return BOUNDED_OK;
    }
    return memset_error(dest, destMax, c, count);
}

} // namespace

extern "C" int memset_s(void *dest, size_t destMax, int c, size_t count)
{
    if (__builtin_expect(dest != nullptr && destMax <= BOUNDED_MAX_LEN && count <= destMax, 1)) {
        std::memset(dest, c, count);
        return BOUNDED_OK;
    }
    return memset_error(dest, destMax, c, count);
}

extern "C" int memset_sOptAsm(void *dest, size_t destMax, int c, size_t count)
{
    return FillWithInlineSmall(dest, destMax, c, count, true);
}

extern "C" int memset_sOptTc(void *dest, size_t destMax, int c, size_t count)
{
    return FillWithInlineSmall(dest, destMax, c, count, false);
}
