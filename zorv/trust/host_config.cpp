#include "trust/host_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crypto/unique_fd.h"

namespace zorv {
namespace {

constexpr std::size_t kMaxConfigSize = 64 * 1024;

using Fd = UniqueFd;

bool OwnedHere(const struct stat &st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }
bool OthersWrite(const struct stat &st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Walks path's folders from / with O_NOFOLLOW; dir gets the last folder.
// A sticky root-owned folder may be writable by others when it is not the
// last one: nobody else can rename or remove what lies in it.
ConfigStatus WalkFolders(const std::string &path, Fd &dir, std::string &detail)
{
    if (path.empty() || path.front() != '/') {
        detail = path + ": not an absolute path";
        return ConfigStatus::unsafe;
    }
    dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string walked;
    std::size_t at = 1;
    while (true) {
        struct stat st {};
        if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) {
            detail = (walked.empty() ? "/" : walked) + ": " + std::strerror(errno);
            return ConfigStatus::unreadable;
        }
        const std::size_t slash = path.find('/', at);
        const bool last = slash == std::string::npos;
        const bool stickyAbove = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0 && !last;
        if (!OwnedHere(st) || (OthersWrite(st) && !stickyAbove)) {
            detail = (walked.empty() ? "/" : walked) + ": folder " +
                     (!OwnedHere(st) ? "belongs to uid " + std::to_string(st.st_uid)
                                     : std::string("is writable by group or others"));
            return ConfigStatus::unsafe;
        }
        if (last) {
            return ConfigStatus::ok;
        }
        const std::string part = path.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        walked += "/" + part;
        if (part == "..") {
            detail = path + ": '..' in the path";
            return ConfigStatus::unsafe;
        }
        const int next = ::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int e = errno;
            struct stat link {};
            if (::fstatat(dir.get(), part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
                detail = walked + ": a symbolic link";
                return ConfigStatus::unsafe;
            }
            detail = walked + ": " + std::strerror(e);
            return e == ENOENT ? ConfigStatus::missing : ConfigStatus::unreadable;
        }
        dir.reset(next);
    }
}

} // namespace

std::string HostConfigDir()
{
    const char *env = ::secure_getenv(kHostConfigEnvironment);
    return env != nullptr && env[0] == '/' ? std::string(env) : std::string(kDefaultHostConfigDir);
}

bool SafeConfigFolders(const std::string &path, std::string &detail)
{
    Fd dir;
    return WalkFolders(path, dir, detail) == ConfigStatus::ok;
}

int OpenTrustedFile(const std::string &path, ConfigStatus &status, std::string &detail, std::size_t maxSize)
{
    Fd dir;
    status = WalkFolders(path, dir, detail);
    if (status != ConfigStatus::ok) {
        return -1;
    }
    const std::string file = path.substr(path.rfind('/') + 1);
    Fd fd(::openat(dir.get(), file.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        status = errno == ENOENT ? ConfigStatus::missing : errno == ELOOP ? ConfigStatus::unsafe : ConfigStatus::unreadable;
        detail = path + ": " + (errno == ELOOP ? "a symbolic link" : std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !OwnedHere(st) || OthersWrite(st) ||
        static_cast<std::size_t>(st.st_size) > maxSize) {
        status = ConfigStatus::unsafe;
        detail = path + ": " +
                 (!S_ISREG(st.st_mode) ? std::string("not a regular file")
                  : !OwnedHere(st)     ? "belongs to uid " + std::to_string(st.st_uid)
                  : OthersWrite(st)    ? std::string("writable by group or others")
                                       : "larger than " + std::to_string(maxSize) + " bytes");
        return -1;
    }
    status = ConfigStatus::ok;
    return fd.release();
}

ConfigText ReadHostConfig(std::string_view name)
{
    ConfigText out;
    out.path = HostConfigDir() + "/" + std::string(name);
    Fd fd(OpenTrustedFile(out.path, out.status, out.detail, kMaxConfigSize));
    if (fd.get() < 0) {
        return out;
    }
    struct stat st {};
    (void)::fstat(fd.get(), &st);
    out.text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    while (have < out.text.size()) {
        const ssize_t n = ::read(fd.get(), out.text.data() + have, out.text.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            out.status = ConfigStatus::unreadable;
            out.detail = out.path + ": " + (n < 0 ? std::strerror(errno) : "shorter than its size");
            out.text.clear();
            return out;
        }
        have += static_cast<std::size_t>(n);
    }
    return out;
}

std::vector<std::vector<std::string>> ConfigLines(std::string_view text)
{
    std::vector<std::vector<std::string>> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = line.substr(0, line.find('#'));
        std::vector<std::string> words;
        std::size_t at = 0;
        while ((at = line.find_first_not_of(" \t\r", at)) != std::string_view::npos) {
            const std::size_t stop = line.find_first_of(" \t\r", at);
            words.emplace_back(line.substr(at, stop - at));
            at = stop;
        }
        if (!words.empty()) {
            lines.push_back(std::move(words));
        }
    }
    return lines;
}

} // namespace zorv
