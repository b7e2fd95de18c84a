#include "crypto/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "crypto/unique_fd.h"

namespace zorv {

bool ReadBounded(int fd, std::size_t maxLen, SecretBytes &out)
{
    // Sized once, one byte beyond the limit to notice a longer file: growth
    // would leave copies of a partial secret behind.
    out.assign(maxLen + 1, 0);
    std::size_t have = 0;
    while (have < out.size()) {
        const ssize_t n = ::read(fd, out.data() + have, out.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            out.clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    if (have > maxLen) {
        out.clear();
        return false;
    }
    out.resize(have);
    return true;
}

PrivateFileStatus ReadPrivateFile(const std::string &path, std::size_t maxLen, SecretBytes &out,
                                  PrivateFileFacts *facts)
{
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        return errno == ENOENT ? PrivateFileStatus::missing : PrivateFileStatus::unopenable;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return PrivateFileStatus::unreadable;
    }
    if (facts != nullptr) {
        facts->owner = st.st_uid;
        facts->mode = st.st_mode;
    }
    if (!S_ISREG(st.st_mode)) {
        return PrivateFileStatus::notRegular;
    }
    // Root reads a file it gave to the service's user (a store made with
    // --owner); anyone else only its own or root's.
    if (st.st_uid != 0 && st.st_uid != ::geteuid() && ::geteuid() != 0) {
        return PrivateFileStatus::foreignOwner;
    }
    // The file's group may read it (root:zorva 0440 lets the service's user
    // read root's file); nobody may write it but its owner.
    if ((st.st_mode & 027) != 0) {
        return PrivateFileStatus::openToOthers;
    }
    if (static_cast<std::size_t>(st.st_size) > maxLen) {
        return PrivateFileStatus::tooLong;
    }
    return ReadBounded(fd.get(), maxLen, out) ? PrivateFileStatus::ok : PrivateFileStatus::unreadable;
}

} // namespace zorv
