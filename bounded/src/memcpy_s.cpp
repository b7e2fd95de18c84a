// Bounded memory copy: one combined fast test, a separate failure classifier.
#include "bounded.h"
#include "inline_moves.h"

#include <cstring>

using namespace bounded::detail;

namespace {

// Classifies every call that failed the fast test; the order of the tests
// decides which code a call with several faults gets.
[[gnu::noinline, gnu::cold]] int memcpy_error(void *dest, size_t destMax, const void *src, size_t count)
{
    if (destMax == 0 || destMax > BOUNDED_MAX_LEN) {
        return BOUNDED_ERANGE;
    }
    if (dest == nullptr) {
        return BOUNDED_EINVAL;
    }
    if (src == nullptr) {
        std::memset(dest, 0, destMax);
        return BOUNDED_EINVAL_RESET;
    }
    if (count > destMax) {
        std::memset(dest, 0, destMax);
        return BOUNDED_ERANGE_RESET;
    }
    if (RangesOverlap(dest, src, count)) {
        std::memset(dest, 0, destMax);
        return BOUNDED_OVERLAP_RESET;
    }
    return BOUNDED_OK; // count 0 or dest == src: nothing to do
}

[[gnu::always_inline]] inline bool FastCopyOk(void *dest, size_t destMax, const void *src, size_t count, bool boundMax)
{
    // count - 1 < destMax: 1 <= count <= destMax in one unsigned compare.
    // Gap >= count with count >= 1: disjoint ranges and dest != src.
    return (dest != nullptr) & (src != nullptr) & (count - 1 < destMax) &
           (!boundMax || destMax <= BOUNDED_MAX_LEN) & (Gap(dest, src) >= count);
}

[[gnu::always_inline]] inline int CopyWithInlineSmall(void *dest, size_t destMax, const void *src, size_t count,
                                                     bool boundMax)
{
    if (__builtin_expect(FastCopyOk(dest, destMax, src, count, boundMax), 1)) {
        if (count > kInlineCopyMax) {
            std::memcpy(dest, src, count);
        } else {
            InlineCopy(dest, src, count);
        }
        return BOUNDED_OK;
    }
    return memcpy_error(dest, destMax, src, count);
}

} // namespace

extern "C" int memcpy_s(void *dest, size_t destMax, const void *src, size_t count)
{
    if (__builtin_expect(FastCopyOk(dest, destMax, src, count, true), 1)) {
        std::memcpy(dest, src, count);
        return BOUNDED_OK;
    }
    return memcpy_error(dest, destMax, src, count);
}

extern "C" int memcpy_sOptAsm(void *dest, size_t destMax, const void *src, size_t count)
{
    return CopyWithInlineSmall(dest, destMax, src, count, true);
}

extern "C" int memcpy_sOptTc(void *dest, size_t destMax, const void *src, size_t count)
{
    return CopyWithInlineSmall(dest, destMax, src, count, false);
}
