// The abstract socket address derived from DS_MINIO_UDS_NAME, shared by the
// daemon (bind) and its reference client (connect).
#include "transport.h"

#include "bounded.h"

#include <cstddef>
#include <cstring>

extern "C" int BrimMakeAbstractAddress(const char *name, struct sockaddr_un *addr, socklen_t *addrLen)
{
    static_assert(sizeof(addr->sun_path) == BRIM_SUN_PATH_LEN);
    (void)memset_s(addr, sizeof(*addr), 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    const int ret = strcpy_s(addr->sun_path, sizeof(addr->sun_path), name);
    if (ret != BOUNDED_OK) {
        return ret;
    }
    // The first character gives way to the NUL that marks the abstract
    // namespace; the name is the remaining characters, without a trailing NUL.
    addr->sun_path[0] = '\0';
    *addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + strlen(name));
    return 0;
}
