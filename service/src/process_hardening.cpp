#include "process_hardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace brim {

int DisableCoreDumps()
{
    const struct rlimit none = {0, 0};
    const int dumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const int limit = ::setrlimit(RLIMIT_CORE, &none);
    return dumpable == 0 && limit == 0 ? 0 : -1;
}

} // namespace brim
