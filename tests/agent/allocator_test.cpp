#include <gtest/gtest.h>

#include <cstring>

#include "zorva_main.h"

namespace {

TEST(AgentAllocator, ZeroSizeGivesNoBlock)
{
    EXPECT_EQ(ZORVA_MemAlloc(0), nullptr);
}

TEST(AgentAllocator, BlockIsUsableAndClearFreeAcceptsNullAndZeroSize)
{
    auto *p = static_cast<unsigned char *>(ZORVA_MemAlloc(32));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xA5, 32);
    ZORVA_MemClearFree(p, 32);
    ZORVA_MemClearFree(nullptr, 32);
    void *q = ZORVA_MemAlloc(1);
    ASSERT_NE(q, nullptr);
    ZORVA_MemClearFree(q, 0);
}

} // namespace
