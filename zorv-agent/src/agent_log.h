// Internal: every log line of the agent goes through ZORVA_LOG, which reads
// the registered log function at the moment of the call and skips the line
// while none is registered.
#pragma once

#include "zorva_main.h"

namespace zorva {

inline ZorvaLogIntf CurrentLogFunction()
{
    return __atomic_load_n(&g_pfnZorvaLogIntf, __ATOMIC_ACQUIRE);
}

inline void StoreLogFunction(ZorvaLogIntf fn)
{
    __atomic_store_n(&g_pfnZorvaLogIntf, fn, __ATOMIC_RELEASE);
}

// Log codes: 25088 (0x6200) plus a small offset.
inline constexpr int32_t kLogNone = 0;
inline constexpr int32_t kLogAssert = 25088;

} // namespace zorva

// ZORVA_LOG(level, code, "FunctionName", format, values...)
#define ZORVA_LOG(level, code, function, ...)                                                           \
    do {                                                                                                \
        ZorvaLogIntf zorvaLogFn_ = ::zorva::CurrentLogFunction();                                       \
        if (zorvaLogFn_ != nullptr) {                                                                   \
            zorvaLogFn_(ZORVA_MODULE_ID, (level), (function), __LINE__, (code), __VA_ARGS__);           \
        }                                                                                               \
    } while (0)
