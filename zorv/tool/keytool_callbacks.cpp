// The file callbacks of the key tool: stdio streams over descriptors opened
// with mode 0600, flushes that reach the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include <openssl/rand.h>

#include "keytool.h"
#include "zorv.h"

namespace keytool {
namespace {

FILE *F(void *s) { return static_cast<FILE *>(s); }

void *Open(const char *path, int mode)
{
    const int flags = mode == QINT_OPEN_READ    ? O_RDONLY
                      : mode == QINT_OPEN_WRITE ? O_WRONLY | O_CREAT | O_TRUNC
                      : mode == QINT_OPEN_READWRITE ? O_RDWR | O_CREAT | O_TRUNC
                                                    : -1;
    if (flags < 0) {
        return nullptr;
    }
    const int fd = ::open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    FILE *f = ::fdopen(fd, mode == QINT_OPEN_READ ? "rb" : mode == QINT_OPEN_WRITE ? "wb" : "w+b");
    if (f == nullptr) {
        ::close(fd);
    }
    return f;
}
int Close(void *s) { return std::fclose(F(s)); }
int Read(void *b, size_t n, void *s)
{
    std::fread(b, 1, n, F(s));
    return std::ferror(F(s)) ? QINT_FALSE : QINT_TRUE;
}
int Write(const void *d, size_t n, void *s) { return std::fwrite(d, 1, n, F(s)) == n ? QINT_TRUE : QINT_FALSE; }
int Flush(void *s) { return std::fflush(F(s)) == 0 && ::fsync(::fileno(F(s))) == 0 ? 0 : -1; }
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
