#include "protect/host_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "zorv.h"

namespace zorv {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool ReadAll(int fd, std::uint8_t *out, std::size_t n)
{
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, out + got, n - got);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    std::uint8_t extra = 0;
    return ::read(fd, &extra, 1) == 0; // exactly n bytes
}

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

} // namespace

std::string DefaultHostKeyPath()
{
    const char *env = std::getenv(kHostKeyEnvironment);
    return env != nullptr && env[0] == '/' ? std::string(env) : std::string(kDefaultHostKeyFile);
}

std::uint64_t ReadHostKey(const std::string &path, Key32 &key)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        return errno == ENOENT ? QINT_ERR_HOST_KEY_MISSING : QINT_ERR_HOST_KEY_BAD;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(key.size()) ||
        (st.st_mode & 077) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        return QINT_ERR_HOST_KEY_BAD;
    }
    if (!ReadAll(fd.get(), key.data(), key.size())) {
        key = Key32();
        return QINT_ERR_HOST_KEY_BAD;
    }
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
        Fd fd(raw);
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
        const int dir = ::open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            (void)::fsync(dir);
            ::close(dir);
        }
    }
    Key32 check;
    return ReadHostKey(path, check);
}

} // namespace zorv
