// Internal to the service: what the key store said about its last load in
// this thread, when the library offers it. It is looked up at run time: on a
// library stack with only the agreed interfaces it is absent, and the fronts
// then behave as they always did (their own lines, every retry).
#pragma once

#include <cstdint>

#include "zorv.h"

namespace brim {

// Loads of this thread so far; 0 when the library cannot tell.
uint64_t StoreLoads();

// The report of the last load, when the library offers one.
bool LastStoreLoad(QintLoadReport &report);

} // namespace brim
