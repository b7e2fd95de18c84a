#include "service_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace keytool {
namespace {

std::string Facts(const struct stat &st)
{
    const struct passwd *pw = ::getpwuid(st.st_uid);
    const struct group *gr = ::getgrgid(st.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("owner ") + (pw != nullptr ? pw->pw_name : std::to_string(st.st_uid)) + ", group " +
           (gr != nullptr ? gr->gr_name : std::to_string(st.st_gid)) + ", mode " + mode;
}

// The permission bits (r=4, w=2, x=1) that apply to user on st.
unsigned Bits(const ServiceUser &user, const struct stat &st)
{
    if (user.uid == st.st_uid) {
        return (st.st_mode >> 6) & 7;
    }
    if (std::find(user.groups.begin(), user.groups.end(), st.st_gid) != user.groups.end()) {
        return (st.st_mode >> 3) & 7;
    }
    return st.st_mode & 7;
}

std::string Absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char *cwd = ::getcwd(nullptr, 0);
    const std::string here = cwd != nullptr ? cwd : ".";
    std::free(cwd);
    return here + "/" + path;
}

} // namespace

bool FindServiceUser(const std::string &user, ServiceUser &out)
{
    const struct passwd *pw = ::getpwnam(user.c_str());
    if (pw == nullptr && !user.empty() && user.find_first_not_of("0123456789") == std::string::npos &&
        user.size() < 11) {
        pw = ::getpwuid(static_cast<uid_t>(std::strtoul(user.c_str(), nullptr, 10)));
    }
    if (pw == nullptr) {
        return false;
    }
    out.name = pw->pw_name;
    out.uid = pw->pw_uid;
    out.gid = pw->pw_gid;
    int count = 32;
    out.groups.assign(static_cast<std::size_t>(count), 0);
    if (::getgrouplist(pw->pw_name, pw->pw_gid, out.groups.data(), &count) < 0) {
        out.groups.assign(static_cast<std::size_t>(count), 0);
        (void)::getgrouplist(pw->pw_name, pw->pw_gid, out.groups.data(), &count);
    }
    out.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return true;
}

std::string AccessProblem(const ServiceUser &user, const std::string &path, Want want)
{
    const std::string full = Absolute(path);
    // Every folder on the way needs search permission.
    for (std::size_t slash = full.find('/', 1);; slash = full.find('/', slash + 1)) {
        const bool last = slash == std::string::npos;
        const std::string part = last ? full : full.substr(0, slash);
        struct stat st {};
        if (::stat(part.c_str(), &st) != 0) {
            return part + ": " + std::strerror(errno);
        }
        if (user.uid != 0) {
            const unsigned bits = Bits(user, st);
            if (!last && (bits & 1) == 0) {
                return part + ": no search permission (" + Facts(st) + ")";
            }
            const unsigned need = want == Want::readWrite ? 6 : 4;
            if (last && (bits & need) != need) {
                return part + ": not " + (want == Want::readWrite ? "readable and writable" : "readable") + " (" +
                       Facts(st) + ")";
            }
        }
        if (last) {
            return {};
        }
    }
}

std::string PrivateFileProblem(const ServiceUser &user, const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return path + ": not a regular file";
    }
    if (st.st_uid != user.uid && st.st_uid != 0) {
        return path + ": belongs to neither " + user.name + " nor root (" + Facts(st) + ")";
    }
    if ((st.st_mode & 027) != 0) {
        return path + ": its group can write it or others can reach it, refused as a secret (" + Facts(st) + ")";
    }
    return {};
}

} // namespace keytool
