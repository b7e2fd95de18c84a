// The file callbacks of the key tool: stdio streams over descriptors opened
// with mode 0600, flushes that reach the disk.
//
// Key-store files and backups are regular files reached without links. The
// folder of a file is opened with O_NOFOLLOW and the file is reached from it
// with openat/renameat and O_NOFOLLOW, so a link as the last part of either
// is refused, never followed. Nothing is written into a folder that users
// other than its owner can write, or that belongs to someone other than the
// invoking user, root or the --owner user: whoever controls the folder
// controls what the files become.
//
// A file opened for writing is written under a temporary name in the same
// folder and renamed over the real one only when it was flushed whole. A
// service reading the store while the tool rotates therefore sees either the
// old file or the new one, never a truncated or half-written one, and a
// write that fails leaves the old file untouched. The new file is 0600 and
// belongs to the invoking user or the --owner user; it takes over the owner
// and mode of the file it replaces only when that is a regular file whose
// mode grants nothing to others (and no --owner was given).
//
// The store writes the standby and then the primary. A service that loads
// between the two finds the standby newer and rewrites the primary itself,
// so the renames are held back until both files are written: the standby is
// renamed and the primary right after it, which leaves a window of one system
// call instead of a whole write and sync.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <openssl/rand.h>

#include "crypto/unique_fd.h"
#include "keytool.h"
#include "zorv.h"
#include "zorv_path_rule.h"

namespace keytool {
namespace {

constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewFolderMode = 0700;
constexpr int kTemporaryTries = 16;

// Who the written files belong to.
struct Owner {
    bool chosen = false; // --owner given
    uid_t uid = 0;
    gid_t gid = 0;
};
Owner g_owner;

// Each refusal is told once, however often the store asks for the file.
void Say(const std::string &message)
{
    static std::set<std::string> told;
    if (told.insert(message).second) {
        std::fprintf(stderr, "zorvm_keytool: %s\n", message.c_str());
    }
}

std::string RuleMessage(const std::string &path, const char *problem)
{
    char text[4096 + 256];
    std::snprintf(text, sizeof text, ZORV_PATH_RULE_FORMAT, path.c_str(), problem);
    return text;
}

using Fd = zorv::UniqueFd;

// A path split into its folder and its last part.
struct Place {
    std::string folder;
    std::string name;
};

bool Split(const std::string &path, Place &out)
{
    const auto slash = path.rfind('/');
    out.folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    out.name = slash == std::string::npos ? path : path.substr(slash + 1);
    return !out.name.empty() && out.name != "." && out.name != "..";
}

// The folder of path, opened without following a link as its last part.
Fd OpenFolder(const std::string &path, const Place &place)
{
    Fd dir(::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            struct stat st {};
            if (::lstat(place.folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                Say(RuleMessage(path, "lies in a folder that is a symbolic link"));
                return dir;
            }
        }
        Say(path + ": cannot open its folder: " + std::strerror(errno));
    }
    return dir;
}

// A folder to write into: only its owner can write it, and that owner is
// the invoking user, root or the user the files are for.
bool SafeFolder(int dir, const std::string &path, const Place &place)
{
    struct stat st {};
    if (::fstat(dir, &st) != 0) {
        Say(path + ": cannot examine its folder: " + std::strerror(errno));
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Say(place.folder + ": users other than its owner can write this folder; key-store files are not written "
                            "there");
        return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0 && !(g_owner.chosen && st.st_uid == g_owner.uid)) {
        Say(place.folder + ": the folder belongs to another user (uid " + std::to_string(st.st_uid) +
             "); key-store files are not written there");
        return false;
    }
    return true;
}

// The file at place must be a regular file or missing; fills old when it
// exists.
bool ExistingIsRegular(int dir, const std::string &path, const Place &place, struct stat &old, bool &exists)
{
    exists = ::fstatat(dir, place.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists) {
        if (errno == ENOENT) {
            return true;
        }
        Say(path + ": cannot examine: " + std::strerror(errno));
        return false;
    }
    if (S_ISLNK(old.st_mode)) {
        Say(RuleMessage(path, ZORV_PATH_IS_LINK));
        return false;
    }
    if (!S_ISREG(old.st_mode)) {
        Say(RuleMessage(path, ZORV_PATH_NOT_REGULAR));
        return false;
    }
    return true;
}

// A temporary file beside the target, created exclusively, never through a
// link.
Fd CreateTemporary(int dir, const std::string &name, bool alsoRead, std::string &temporary)
{
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < kTemporaryTries; ++attempt) {
        unsigned char random[6];
        if (RAND_bytes(random, sizeof random) != 1) {
            return Fd();
        }
        temporary = name + ".tmp.";
        for (unsigned char r : random) {
            temporary += kAlphabet[r % (sizeof kAlphabet - 1)];
        }
        const int flags = (alsoRead ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        Fd fd(::openat(dir, temporary.c_str(), flags, kNewFileMode));
        if (fd.get() >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return Fd();
}

// Gives the new file its owner and mode (see the top of this file).
bool SetOwnership(int fd, const std::string &path, bool replacing, const struct stat &old)
{
    const bool keep = replacing && (old.st_mode & S_IRWXO) == 0;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (g_owner.chosen) {
        uid = g_owner.uid;
        gid = g_owner.gid;
    } else if (keep) {
        uid = old.st_uid;
        gid = old.st_gid;
    }
    const mode_t mode = keep ? (old.st_mode & (S_IRWXU | S_IRWXG)) : kNewFileMode;
    if ((uid != ::geteuid() || gid != ::getegid()) && ::fchown(fd, uid, gid) != 0) {
        Say(path + ": cannot give the file to uid " + std::to_string(uid) + ": " + std::strerror(errno));
        return false;
    }
    if (::fchmod(fd, mode) != 0) {
        Say(path + ": cannot set the file's mode: " + std::strerror(errno));
        return false;
    }
    return true;
}

struct Stream {
    FILE *file = nullptr;
    Fd dir;                // the folder, for the rename, while writing
    std::string path;      // as the store named it, for messages
    std::string name;      // the file a finished write replaces, in dir
    std::string temporary; // empty when reading
    bool flushed = false;  // everything written so far reached the disk
};

Stream *S(void *s) { return static_cast<Stream *>(s); }
FILE *F(void *s) { return S(s)->file; }

// Files written whole and synced, waiting for their rename.
struct Staged {
    Fd dir;
    std::string path;
    std::string name;
    std::string temporary;
};
std::vector<Staged> g_staged;
std::string g_publishError;

bool SameFolder(int a, int b)
{
    struct stat sa {}, sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool PublishStaged()
{
    bool ok = true;
    for (const Staged &f : g_staged) {
        if (ok && ::renameat(f.dir.get(), f.temporary.c_str(), f.dir.get(), f.name.c_str()) != 0) {
            ok = false;
            g_publishError = f.path + ": " + std::strerror(errno);
        }
        if (!ok) {
            ::unlinkat(f.dir.get(), f.temporary.c_str(), 0);
        }
    }
    // Makes the renames durable; usually one folder holds both files.
    for (std::size_t i = 0; i < g_staged.size(); ++i) {
        if (i == 0 || !SameFolder(g_staged[i].dir.get(), g_staged[i - 1].dir.get())) {
            (void)::fsync(g_staged[i].dir.get());
        }
    }
    g_staged.clear(); // closes the folders
    return ok;
}

void *OpenForWrite(const char *path, bool alsoRead)
{
    Place place;
    if (!Split(path, place)) {
        Say(std::string(path) + ": not a file name");
        return nullptr;
    }
    Fd dir = OpenFolder(path, place);
    struct stat old {};
    bool exists = false;
    if (dir.get() < 0 || !SafeFolder(dir.get(), path, place) ||
        !ExistingIsRegular(dir.get(), path, place, old, exists)) {
        return nullptr;
    }
    auto s = std::make_unique<Stream>();
    Fd fd = CreateTemporary(dir.get(), place.name, alsoRead, s->temporary);
    if (fd.get() < 0) {
        Say(std::string(path) + ": cannot create a file beside it: " + std::strerror(errno));
        return nullptr;
    }
    if (SetOwnership(fd.get(), path, exists, old)) {
        s->file = ::fdopen(fd.get(), alsoRead ? "w+b" : "wb");
    }
    if (s->file == nullptr) {
        ::unlinkat(dir.get(), s->temporary.c_str(), 0);
        return nullptr;
    }
    (void)fd.release();
    s->dir = std::move(dir);
    s->path = path;
    s->name = place.name;
    return s.release();
}

void *OpenForRead(const char *path)
{
    Place place;
    if (!Split(path, place)) {
        return nullptr;
    }
    Fd dir = OpenFolder(path, place);
    if (dir.get() < 0) {
        return nullptr;
    }
    // Non-blocking, so a pipe planted in place of the file cannot hold the
    // open; a regular file reads the same either way.
    Fd fd(::openat(dir.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ELOOP) {
            Say(RuleMessage(path, ZORV_PATH_IS_LINK));
        }
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Say(RuleMessage(path, ZORV_PATH_NOT_REGULAR));
        return nullptr;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return nullptr;
    }
    FILE *f = ::fdopen(fd.get(), "rb");
    if (f == nullptr) {
        return nullptr;
    }
    (void)fd.release();
    auto *s = new Stream;
    s->file = f;
    s->path = path;
    return s;
}

void *Open(const char *path, int mode)
{
    if (path == nullptr) {
        return nullptr;
    }
    if (mode == QINT_OPEN_WRITE || mode == QINT_OPEN_READWRITE) {
        return OpenForWrite(path, mode == QINT_OPEN_READWRITE);
    }
    if (mode != QINT_OPEN_READ) {
        return nullptr;
    }
    // A file read back must be the one last written.
    if (!PublishStaged()) {
        return nullptr;
    }
    return OpenForRead(path);
}

int Close(void *stream)
{
    Stream *s = S(stream);
    const bool clean = std::ferror(s->file) == 0;
    int rc = std::fclose(s->file) == 0 && clean ? 0 : EOF;
    if (!s->temporary.empty()) {
        if (rc == 0 && s->flushed) {
            g_staged.push_back(Staged{std::move(s->dir), s->path, s->name, s->temporary});
            // A pair is complete: standby and primary.
            if (g_staged.size() == 2 && !PublishStaged()) {
                rc = EOF;
            }
        } else {
            // Not flushed whole after the last write: the old file stays.
            ::unlinkat(s->dir.get(), s->temporary.c_str(), 0);
            rc = EOF;
        }
    }
    delete s;
    return rc;
}
int Read(void *b, size_t n, void *s)
{
    std::fread(b, 1, n, F(s));
    return std::ferror(F(s)) ? QINT_FALSE : QINT_TRUE;
}
int Write(const void *d, size_t n, void *s)
{
    S(s)->flushed = false;
    return std::fwrite(d, 1, n, F(s)) == n ? QINT_TRUE : QINT_FALSE;
}
int Flush(void *s)
{
    const bool ok = std::fflush(F(s)) == 0 && ::fsync(::fileno(F(s))) == 0;
    S(s)->flushed = ok;
    return ok ? 0 : -1;
}
// A link is removed itself, never what it names.
int Remove(const char *p) { return ::unlink(p); }
long Tell(void *s) { return std::ftell(F(s)); }
long Seek(void *s, long o, int w) { return w < 0 || w > 2 ? -1 : std::fseek(F(s), o, w); }
int Eof(void *s, int *flag)
{
    *flag = std::feof(F(s)) ? 1 : 0;
    return 0;
}
int Error(void *s) { return std::ferror(F(s)); }
// A link counts as there: create refuses to replace it without --force, and
// with --force the write refuses the link.
int Exist(const char *p)
{
    struct stat st {};
    return ::fstatat(AT_FDCWD, p, &st, AT_SYMLINK_NOFOLLOW) == 0 ? QINT_TRUE : QINT_FALSE;
}
int GmTime(const time_t *t, struct tm *out) { return ::gmtime_r(t, out) != nullptr ? QINT_TRUE : QINT_FALSE; }

} // namespace

bool FinishWrites(bool publish)
{
    if (!publish) {
        for (const Staged &f : g_staged) {
            ::unlinkat(f.dir.get(), f.temporary.c_str(), 0);
        }
        g_staged.clear();
        return true;
    }
    if (!PublishStaged()) {
        std::fprintf(stderr, "zorvm_keytool: cannot replace %s\n", g_publishError.c_str());
        return false;
    }
    return true;
}

bool SetFileOwner(const std::string &user)
{
    const struct passwd *pw = ::getpwnam(user.c_str());
    if (pw == nullptr && !user.empty() && user.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        char *end = nullptr;
        const unsigned long id = std::strtoul(user.c_str(), &end, 10);
        if (errno == 0 && *end == '\0' && id <= 0xFFFFFFFEul) {
            pw = ::getpwuid(static_cast<uid_t>(id));
        }
    }
    if (pw == nullptr) {
        std::fprintf(stderr, "zorvm_keytool: --owner: no user '%s'\n", user.c_str());
        return false;
    }
    g_owner = Owner{true, pw->pw_uid, pw->pw_gid};
    return true;
}

bool MakeFolders(const Options &o, const std::string &dir)
{
    // Each missing folder on the way, from the top down.
    for (std::size_t end = 0; end != std::string::npos;) {
        end = dir.find('/', end + 1);
        const std::string part = dir.substr(0, end);
        if (::mkdir(part.c_str(), kNewFolderMode) != 0) {
            if (errno == EEXIST) {
                continue; // opened and checked like any folder when written
            }
            std::fprintf(stderr, "zorvm_keytool: %s: %s: cannot create the folder: %s\n", o.command.c_str(),
                         part.c_str(), std::strerror(errno));
            return false;
        }
        Fd made(::open(part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (made.get() < 0 || ::fchmod(made.get(), kNewFolderMode) != 0 ||
            (g_owner.chosen && ::fchown(made.get(), g_owner.uid, g_owner.gid) != 0)) {
            std::fprintf(stderr, "zorvm_keytool: %s: %s: cannot give the folder mode 0700 and its owner: %s\n",
                         o.command.c_str(), part.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool KeepsPathRule(const std::string &path)
{
    const char *problem = ZorvPathRuleProblem(path.c_str());
    if (problem == nullptr) {
        return true;
    }
    Say(RuleMessage(path, problem));
    return false;
}

void RegisterCallbacks()
{
    static QintCallbacks record{};
    record.fileOpen = Open;
    record.fileClose = Close;
    record.fileRead = Read;
    record.fileWrite = Write;
    record.fileFlush = Flush;
    record.fileRemove = Remove;
    record.fileTell = Tell;
    record.fileSeek = Seek;
    record.fileEof = Eof;
    record.fileError = Error;
    record.fileExist = Exist;
    record.randomBytes = RAND_bytes;
    record.gmTime = GmTime;
    QintRegFuncEx(&record);
}

} // namespace keytool
