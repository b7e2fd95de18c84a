// This program supplies its own memset_s (OWN_BOUNDED) to see how the agent
// wipes blocks; the other bounded functions come from the library.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "bounded.h"
#include "zorva_main.h"

namespace {

struct Fill {
    const void *dest;
    size_t destMax;
    int c;
    size_t count;
};

std::mutex g_fillsMutex;
std::vector<Fill> g_fills;

std::vector<Fill> TakeFills()
{
    std::lock_guard lock(g_fillsMutex);
    return std::exchange(g_fills, {});
}

} // namespace

extern "C" int memset_s(void *dest, size_t destMax, int c, size_t count)
{
    {
        std::lock_guard lock(g_fillsMutex);
        g_fills.push_back({dest, destMax, c, count});
    }
    if (dest == nullptr || destMax > BOUNDED_MAX_LEN) {
        return dest == nullptr ? BOUNDED_EINVAL : BOUNDED_ERANGE;
    }
    if (count > destMax) {
        std::memset(dest, c, destMax);
        return BOUNDED_ERANGE_RESET;
    }
    std::memset(dest, c, count);
    return BOUNDED_OK;
}

namespace {

TEST(AgentAllocator, ZeroSizeGivesNoBlock)
{
    EXPECT_EQ(ZORVA_MemAlloc(0), nullptr);
}

TEST(AgentAllocator, ClearFreeWipesTheGivenLengthThreeTimes)
{
    auto *p = static_cast<unsigned char *>(ZORVA_MemAlloc(32));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xA5, 32);
    TakeFills();
    ZORVA_MemClearFree(p, 24);
    auto fills = TakeFills();
    ASSERT_EQ(fills.size(), 3u);
    for (const Fill &f : fills) {
        EXPECT_EQ(f.dest, p);
        EXPECT_EQ(f.destMax, 24u);
        EXPECT_EQ(f.count, 24u);
        EXPECT_EQ(f.c, 0);
    }

    // Size 0: nothing written, block still freed (the leak checker of the
    // asan build would report it otherwise).
    void *q = ZORVA_MemAlloc(8);
    ASSERT_NE(q, nullptr);
    ZORVA_MemClearFree(q, 0);
    fills = TakeFills();
    ASSERT_EQ(fills.size(), 3u);
    for (const Fill &f : fills) {
        EXPECT_EQ(f.count, 0u);
    }

    ZORVA_MemClearFree(nullptr, 32);
    EXPECT_TRUE(TakeFills().empty());
}

} // namespace
