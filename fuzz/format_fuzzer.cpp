// Formats arbitrary format bytes with an argument pack that is safe for any
// directive, into a heap destination of exactly destMax bytes, so ASan sees
// any write beyond destMax; then checks the result against the destination.
//
// Input: byte 0 picks destMax, the rest (up to the first NUL) is the format.
//
// The pack (x86-64 and AArch64 calling conventions): eight doubles, which
// all travel in floating-point registers, then pointers only. Once the
// floating-point registers are used up, a double or long double is read
// from the stack area, which then holds nothing but pointers, so every
// argument slot a directive can reach is a pointer to storage that is both
// a valid narrow string and a valid wide string. Each directive takes at
// most 3 slots per 4 format bytes, so kMaxFormat bytes never reach past
// the pointers passed.
#include "bounded.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kMaxFormat = 128;

alignas(8) const wchar_t kWide[] = L"wide text";
alignas(8) const char kNarrow[24] = "narrow text"; // zero-filled: ends the wide read too

#define FZ_P2 static_cast<const void *>(kWide), static_cast<const void *>(kNarrow)
#define FZ_P8 FZ_P2, FZ_P2, FZ_P2, FZ_P2
#define FZ_P32 FZ_P8, FZ_P8, FZ_P8, FZ_P8
#define FZ_P128 FZ_P32, FZ_P32, FZ_P32, FZ_P32

size_t DestMaxOf(uint8_t b)
{
    return (b & 0x80) != 0 ? 1 + static_cast<size_t>(b & 0x7F) * 32 : 1 + static_cast<size_t>(b & 0x3F);
}

} // namespace

// Heap blocks above 32 MB fail instead of aborting the run: a floating-point
// directive with a huge precision or width then takes the engine's
// allocation-failure path (the conversion is skipped) instead of spending
// most of the run formatting hundreds of megabytes.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=32";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kMaxFormat + 1) {
        return -1; // not added to the corpus
    }
    const size_t destMax = DestMaxOf(data[0]);
    const std::string format(reinterpret_cast<const char *>(data + 1), size - 1);
    auto dest = std::make_unique<char[]>(destMax);

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"
    const int r = sprintf_s(dest.get(), destMax, format.c_str(), 1.5, -2.25, 1e300, 0.0, -0.0, 3e-300, 42.0, 1e15,
                            FZ_P128);
#pragma clang diagnostic pop

    if (r >= 0) {
        // %c may write a NUL inside the text, so only the terminator is checked.
        if (static_cast<size_t>(r) >= destMax || dest[static_cast<size_t>(r)] != '\0') {
            std::abort();
        }
    } else if (r != -1 || dest[0] != '\0') {
        std::abort();
    }
    return 0;
}
