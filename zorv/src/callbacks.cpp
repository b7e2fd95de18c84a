#include "callbacks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <openssl/rand.h>

#include "crypto/unique_fd.h"

namespace zorv {
namespace {

// Default open: stdio streams over descriptors created owner-only.
void *DefaultOpen(const char *path, int mode)
{
    int flags = 0;
    const char *stdioMode = nullptr;
    switch (mode) {
    case QINT_OPEN_READ:
        flags = O_RDONLY;
        stdioMode = "rb";
        break;
    case QINT_OPEN_WRITE:
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        stdioMode = "wb";
        break;
    case QINT_OPEN_READWRITE:
        flags = O_RDWR | O_CREAT | O_TRUNC;
        stdioMode = "w+b";
        break;
    default:
        return nullptr;
    }
    UniqueFd fd(::open(path, flags | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        return nullptr;
    }
    FILE *f = ::fdopen(fd.get(), stdioMode);
    if (f != nullptr) {
        (void)fd.release(); // the stream owns it now
    }
    return f;
}

FILE *AsFile(void *stream) { return static_cast<FILE *>(stream); }

} // namespace

void *Callbacks::Open(const char *path, int mode) const
{
    return cb_.fileOpen != nullptr ? cb_.fileOpen(path, mode) : DefaultOpen(path, mode);
}

int Callbacks::Close(void *stream) const
{
    return cb_.fileClose != nullptr ? cb_.fileClose(stream) : std::fclose(AsFile(stream));
}

bool Callbacks::Read(void *buffer, std::size_t length, void *stream) const
{
    if (cb_.fileRead != nullptr) {
        return cb_.fileRead(buffer, length, stream) == QINT_TRUE;
    }
    std::fread(buffer, 1, length, AsFile(stream));
    return std::ferror(AsFile(stream)) == 0;
}

bool Callbacks::Write(const void *data, std::size_t length, void *stream) const
{
    if (cb_.fileWrite != nullptr) {
        return cb_.fileWrite(data, length, stream) == QINT_TRUE;
    }
    return std::fwrite(data, 1, length, AsFile(stream)) == length;
}

int Callbacks::Flush(void *stream) const
{
    return cb_.fileFlush != nullptr ? cb_.fileFlush(stream) : std::fflush(AsFile(stream));
}

long Callbacks::Tell(void *stream) const
{
    return cb_.fileTell != nullptr ? cb_.fileTell(stream) : std::ftell(AsFile(stream));
}

long Callbacks::Seek(void *stream, long offset, int whence) const
{
    return cb_.fileSeek != nullptr ? cb_.fileSeek(stream, offset, whence)
                                   : std::fseek(AsFile(stream), offset, whence);
}

bool Callbacks::AtEof(void *stream) const
{
    if (cb_.fileEof != nullptr) {
        int flag = 0;
        return cb_.fileEof(stream, &flag) == 0 && flag != 0;
    }
    return std::feof(AsFile(stream)) != 0;
}

bool Callbacks::HasError(void *stream) const
{
    return (cb_.fileError != nullptr ? cb_.fileError(stream) : std::ferror(AsFile(stream))) != 0;
}

bool Callbacks::Exists(const char *path) const
{
    if (cb_.fileExist != nullptr) {
        return cb_.fileExist(path) == QINT_TRUE;
    }
    return ::access(path, F_OK) == 0;
}

bool Callbacks::Random(std::span<std::uint8_t> out) const
{
    if (out.size() > 0x7FFFFFFF) {
        return false;
    }
    const int n = static_cast<int>(out.size());
    return (cb_.randomBytes != nullptr ? cb_.randomBytes(out.data(), n) : RAND_bytes(out.data(), n)) == 1;
}

bool Callbacks::GmTime(std::time_t t, std::tm &out) const
{
    if (cb_.gmTime != nullptr) {
        return cb_.gmTime(&t, &out) == QINT_TRUE;
    }
    return ::gmtime_r(&t, &out) != nullptr;
}

void Callbacks::Notify(std::int32_t event, const char *text) const
{
    if (cb_.notify != nullptr) {
        cb_.notify(event, text, std::strlen(text));
    }
}

void Callbacks::Log(int level, const char *function, std::uint64_t code, const char *format, ...) const
{
    if (cb_.log == nullptr) {
        return;
    }
    // The receiver may rewrite the message in place; it gets its own copy.
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    cb_.log(level, "ZORV", function, static_cast<int>(code), message);
}

} // namespace zorv
