// Stand-in key-management component: every call succeeds.
#include "zorv.h"

extern "C" {
uint64_t QintRegFuncEx(const QintCallbacks *) { return 0; }
uint64_t QintInitializeEx(uint32_t, const QintKeyFileName *, uint32_t, void *) { return 0; }
uint64_t QintResetEx(void) { return 0; }
uint64_t QintFinalizeEx(void) { return 0; }
}
