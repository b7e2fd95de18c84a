#include "replace_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brim {
namespace {

// A unique hidden name beside the file (node_exporter skips it: no ".prom").
std::string TempName(const std::string &base)
{
    unsigned char random[6] = {};
    (void)!getrandom(random, sizeof(random), 0);
    std::string name = "." + base + ".tmp";
    for (const unsigned char b : random) {
        name += "0123456789abcdef"[b >> 4];
        name += "0123456789abcdef"[b & 0xf];
    }
    return name;
}

bool WriteAll(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

ReplaceResult ReplaceFile(int dirFd, const std::string &name, const std::string &text, mode_t mode)
{
    const std::string temp = TempName(name);
    const int fd = openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        return {"create", errno};
    }
    ReplaceResult r;
    if (fchmod(fd, mode) != 0) {
        r.step = "chmod";
    } else if (!WriteAll(fd, text)) {
        r.step = "write";
    } else if (fsync(fd) != 0) {
        r.step = "sync";
    }
    r.error = r.step == nullptr ? 0 : errno != 0 ? errno : EIO;
    if (close(fd) != 0 && r.step == nullptr) {
        r = {"close", errno};
    }
    if (r.step == nullptr && renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        r = {"rename", errno};
    }
    if (r.step != nullptr) {
        (void)unlinkat(dirFd, temp.c_str(), 0);
    } else {
        (void)fsync(dirFd); // the rename itself survives a crash
    }
    return r;
}

} // namespace brim
