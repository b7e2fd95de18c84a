#include "protect/pkcs11_pin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zorv::pkcs11 {
namespace {

void DropNewline(SecretBytes &pin)
{
    if (!pin.empty() && pin.back() == '\n') {
        pin.pop_back();
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
    }
}

// Reads at most kMaxPin bytes; one byte more means the PIN is too long.
bool ReadAll(int fd, SecretBytes &pin)
{
    pin.clear();
    pin.reserve(kMaxPin + 1); // one allocation: no copy of a partial PIN is left behind by growth
    std::uint8_t buffer[kMaxPin + 1];
    ScopedCleanse wipe(buffer, sizeof buffer);
    std::size_t have = 0;
    while (have < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + have, sizeof buffer - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    if (have > kMaxPin) {
        return false;
    }
    pin.assign(buffer, buffer + have);
    DropNewline(pin);
    return true;
}

} // namespace

Status ReadPinFile(const std::string &path, SecretBytes &pin)
{
    pin.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Status::noPin;
    }
    struct stat st {};
    const bool safe = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0 &&
                      (st.st_uid == 0 || st.st_uid == ::geteuid());
    const bool ok = safe && ReadAll(fd, pin);
    ::close(fd);
    if (!ok) {
        pin.clear();
        return Status::noPin;
    }
    return Status::ok;
}

Status ReadPinFd(int fd, SecretBytes &pin)
{
    if (fd < 0 || !ReadAll(fd, pin)) {
        pin.clear();
        return Status::noPin;
    }
    return Status::ok;
}

} // namespace zorv::pkcs11
