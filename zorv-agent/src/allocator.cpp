// The agent's allocator: plain heap blocks, wiped three times on release.
#include <cstdlib>

#include "bounded.h"
#include "zorva_main.h"

extern "C" {

void *ZORVA_MemAlloc(uint32_t size)
{
    if (size == 0) {
        return nullptr;
    }
    return std::malloc(size);
}

void ZORVA_MemClearFree(void *block, uint32_t size)
{
    if (block == nullptr) {
        return;
    }
    for (int pass = 0; pass < 3; ++pass) {
        (void)memset_s(block, size, 0, size);
    }
    std::free(block);
}
}
