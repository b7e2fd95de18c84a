// Path check of the file callbacks: a path is acceptable when it resolves
// (links, "." and ".." removed, made absolute) to a text that begins with the
// prefix.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "agent_log.h"
#include "zorva_main.h"

using namespace zorva;

namespace {

// A path that does not exist yet cannot be resolved. It is accepted only if
// it is written canonically (absolute, no empty, "." or ".." components, no
// trailing separator) and its nearest existing ancestor resolves to itself,
// so no link or traversal on the way can lead a file to be created
// elsewhere.
bool MissingPathIsCanonical(const char *path)
{
    const size_t len = std::strlen(path);
    if (len == 0 || len >= PATH_MAX || path[0] != '/' || path[len - 1] == '/') {
        return false;
    }
    for (const char *p = path; *p != '\0';) {
        ++p; // past the separator
        const char *end = std::strchr(p, '/');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (n == 0 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) {
            return false;
        }
        p += n;
    }

    char ancestor[PATH_MAX];
    std::memcpy(ancestor, path, len + 1);
    for (;;) {
        struct stat st {};
        if (lstat(ancestor, &st) == 0) {
            char *resolved = realpath(ancestor, nullptr);
            const bool same = resolved != nullptr && std::strcmp(resolved, ancestor) == 0;
            std::free(resolved);
            return same;
        }
        if (errno != ENOENT) {
            return false;
        }
        char *slash = std::strrchr(ancestor, '/');
        if (slash == ancestor) {
            return true; // only the root is left, and it exists
        }
        *slash = '\0';
    }
}

} // namespace

extern "C" {

int ZORVA_CheckPath(const char *path, const char *prefix)
{
    if (prefix == nullptr || prefix[0] == '\0') {
        return 0;
    }
    size_t n = std::strlen(prefix);
    if (prefix[n - 1] == '/') {
        --n;
    }
    if (path == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecrypt, "ZORVA_CheckPath", "Realpath(%s) failed, errno:%d", "(null)", EINVAL);
        return -1;
    }
    char *resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
        const int err = errno;
        if (err == ENOENT) {
            return MissingPathIsCanonical(path) && std::strncmp(path, prefix, n) == 0 ? 0 : -1;
        }
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecrypt, "ZORVA_CheckPath", "Realpath(%s) failed, errno:%d", path, err);
        return -1;
    }
    const bool match = std::strncmp(resolved, prefix, n) == 0;
    std::free(resolved);
    return match ? 0 : -1;
}
}
