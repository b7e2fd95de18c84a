#include "protect/host/host_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <cstdio>

#include "crypto/private_file.h"
#include "failure_detail.h"
#include "crypto/unique_fd.h"
#include "zorv.h"

namespace zorv {
namespace {

bool WriteAll(int fd, const std::uint8_t *data, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

std::string Directory(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// What is wrong with a host key file, and what it should be.
const char *HostKeyProblem(PrivateFileStatus status)
{
    switch (status) {
    case PrivateFileStatus::unopenable: return "cannot be opened (a symbolic link, or no permission)";
    case PrivateFileStatus::notRegular: return "not a regular file";
    case PrivateFileStatus::foreignOwner:
        return "belongs to another user: it must belong to root (group read for the service: root:zorva 0440) or to "
               "the user reading it";
    case PrivateFileStatus::openToOthers:
        return "others can reach it, or its group can write it: chmod 0400 (or 0440 for root:zorva)";
    case PrivateFileStatus::tooLong:
    case PrivateFileStatus::ok: return "not exactly 32 bytes";
    default: return "cannot be read";
    }
}

} // namespace

std::string DefaultHostKeyPath()
{
    const char *env = std::getenv(kHostKeyEnvironment);
    return env != nullptr && env[0] == '/' ? std::string(env) : std::string(kDefaultHostKeyFile);
}

std::uint64_t ReadHostKey(const std::string &path, Key32 &key)
{
    SecretBytes bytes;
    PrivateFileFacts facts;
    const PrivateFileStatus status = ReadPrivateFile(path, key.size(), bytes, &facts);
    if (status == PrivateFileStatus::missing) {
        return QINT_ERR_HOST_KEY_MISSING;
    }
    if (status != PrivateFileStatus::ok || bytes.size() != key.size()) {
        char found[96];
        std::snprintf(found, sizeof found, "owner uid %u, mode %04o", static_cast<unsigned>(facts.owner),
                      static_cast<unsigned>(facts.mode & 07777));
        NoteFailureDetail(std::string(HostKeyProblem(status)) + "; found " + found);
        return QINT_ERR_HOST_KEY_BAD;
    }
    std::memcpy(key.data(), bytes.data(), key.size());
    return 0;
}

std::uint64_t EnsureHostKey(const Callbacks &cb, const std::string &path, bool &created)
{
    created = false;
    Key32 key;
    std::uint64_t rc = ReadHostKey(path, key);
    if (rc != QINT_ERR_HOST_KEY_MISSING) {
        return rc;
    }
    if (!cb.Random(key.span())) {
        return QINT_ERR_RANDOM;
    }
    // Written whole under a temporary name and linked into place: a reader
    // never sees a partial key, and link() fails rather than replace a key
    // another process put there in the meantime.
    std::string temporary = Directory(path) + "/.zorvm_host.key.XXXXXX";
    const int raw = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (raw < 0) {
        return QINT_ERR_FILE_WRITE;
    }
    {
        const UniqueFd fd(raw);
        const bool written = ::fchmod(fd.get(), 0400) == 0 && WriteAll(fd.get(), key.data(), key.size()) &&
                             ::fsync(fd.get()) == 0;
        const bool linked = written && ::link(temporary.c_str(), path.c_str()) == 0;
        const int linkError = errno;
        ::unlink(temporary.c_str());
        if (!written || (!linked && linkError != EEXIST)) {
            return QINT_ERR_FILE_WRITE;
        }
        created = linked;
    }
    if (created) {
        const UniqueFd dir(::open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.valid()) {
            (void)::fsync(dir.get());
        }
    }
    Key32 check;
    return ReadHostKey(path, check);
}

} // namespace zorv
