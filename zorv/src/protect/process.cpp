#include <sys/prctl.h>
#include <sys/resource.h>

#include "zorv_process.h"

extern "C" ZORV_API int QintNoCoreDumpsEx(void)
{
    const struct rlimit none = {0, 0};
    const int dumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const int limit = ::setrlimit(RLIMIT_CORE, &none);
    return dumpable == 0 && limit == 0 ? 0 : -1;
}
