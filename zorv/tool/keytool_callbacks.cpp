// The file callbacks of the key tool: stdio streams over descriptors opened
// with mode 0600, flushes that reach the disk.
//
// A file opened for writing is written under a temporary name in the same
// directory and renamed over the real one only when it was flushed whole.
// A service reading the store while the tool rotates therefore sees either
// the old file or the new one, never a truncated or half-written one, and a
// write that fails leaves the old file untouched.
//
// The store writes the standby and then the primary. A service that loads
// between the two finds the standby newer and rewrites the primary itself,
// so the renames are held back until both files are written: the standby is
// renamed and the primary right after it, which leaves a window of one system
// call instead of a whole write and sync.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <openssl/rand.h>

#include "keytool.h"
#include "zorv.h"

namespace keytool {
namespace {

struct Stream {
    FILE *file = nullptr;
    std::string target;    // the file a finished write replaces
    std::string temporary; // empty when reading
    bool flushed = false;  // everything written so far reached the disk
};

Stream *S(void *s) { return static_cast<Stream *>(s); }
FILE *F(void *s) { return S(s)->file; }

// The real file a write replaces: a symbolic link is followed, so the link
// stays and the file it names gets the new contents, as with a write in place.
std::string Resolve(const char *path)
{
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string(path);
}

std::string Directory(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Files written whole and synced, waiting for their rename.
struct Staged {
    std::string temporary;
    std::string target;
};
std::vector<Staged> g_staged;
std::string g_publishError;

// Makes a rename durable.
void SyncDirectory(const std::string &path)
{
    const int fd = ::open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

bool PublishStaged()
{
    bool ok = true;
    for (const Staged &f : g_staged) {
        if (ok && ::rename(f.temporary.c_str(), f.target.c_str()) != 0) {
            ok = false;
            g_publishError = f.target + ": " + std::strerror(errno);
        }
        if (!ok) {
            ::unlink(f.temporary.c_str());
        }
    }
    // Usually one folder holds both files: sync each folder once.
    for (std::size_t i = 0; i < g_staged.size(); ++i) {
        const std::string folder = Directory(g_staged[i].target);
        if (i == 0 || folder != Directory(g_staged[i - 1].target)) {
            SyncDirectory(g_staged[i].target);
        }
    }
    g_staged.clear();
    return ok;
}

// The new file keeps the owner and mode of the one it replaces; a new one is
// owner-only.
bool TakeOverOwnership(int fd, const std::string &target)
{
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) {
        return errno == ENOENT;
    }
    if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        return false;
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

void *OpenForWrite(const char *path, bool alsoRead)
{
    auto s = std::make_unique<Stream>();
    s->target = Resolve(path);
    s->temporary = s->target + ".tmp.XXXXXX";
    const int fd = ::mkostemp(s->temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0) {
        return nullptr;
    }
    if (TakeOverOwnership(fd, s->target)) {
        s->file = ::fdopen(fd, alsoRead ? "w+b" : "wb");
    }
    if (s->file == nullptr) {
        ::close(fd);
        ::unlink(s->temporary.c_str());
        return nullptr;
    }
    return s.release();
}

void *Open(const char *path, int mode)
{
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
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    FILE *f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        ::close(fd);
        return nullptr;
    }
    auto *s = new Stream;
    s->file = f;
    s->target = path;
    return s;
}


int Close(void *stream)
{
    Stream *s = S(stream);
    const bool clean = std::ferror(s->file) == 0;
    int rc = std::fclose(s->file) == 0 && clean ? 0 : EOF;
    if (!s->temporary.empty()) {
        if (rc == 0 && s->flushed) {
            g_staged.push_back(Staged{s->temporary, s->target});
            // A pair is complete: standby and primary.
            if (g_staged.size() == 2 && !PublishStaged()) {
                rc = EOF;
            }
        } else {
            // Not flushed whole after the last write: the old file stays.
            ::unlink(s->temporary.c_str());
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
int Remove(const char *p) { return std::remove(p); }
long Tell(void *s) { return std::ftell(F(s)); }
long Seek(void *s, long o, int w) { return w < 0 || w > 2 ? -1 : std::fseek(F(s), o, w); }
int Eof(void *s, int *flag)
{
    *flag = std::feof(F(s)) ? 1 : 0;
    return 0;
}
int Error(void *s) { return std::ferror(F(s)); }
int Exist(const char *p) { return ::access(p, F_OK) == 0 ? QINT_TRUE : QINT_FALSE; }
int GmTime(const time_t *t, struct tm *out) { return ::gmtime_r(t, out) != nullptr ? QINT_TRUE : QINT_FALSE; }

} // namespace

bool FinishWrites(bool publish)
{
    if (!publish) {
        for (const Staged &f : g_staged) {
            ::unlink(f.temporary.c_str());
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
