// The component's file access: stdio streams opened in binary mode, handed
// over as opaque pointers.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <unistd.h>

#include "agent_log.h"
#include "callbacks.h"

using namespace zorva;

namespace {

// Indexed by the component's open mode.
constexpr const char *kOpenModes[] = {"rb", "wb", "w+b"};

FILE *Stream(void *stream)
{
    return static_cast<FILE *>(stream);
}

} // namespace

extern "C" {

void *ZORVA_CallBackFopen(const char *path, int mode)
{
    // The path must already be canonical: absolute, no links, no ".", ".."
    // or repeated separators.
    if (path == nullptr || ZORVA_CheckPath(path, path) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecrypt, "ZORVA_CallBackFopen", "File path invalid, please check(%s).",
                  path != nullptr ? path : "(null)");
        return nullptr;
    }
    if (mode < 0 || mode >= static_cast<int>(std::size(kOpenModes))) {
        return nullptr;
    }
    FILE *stream = std::fopen(path, kOpenModes[mode]);
    if (stream != nullptr) {
        // Unbuffered: store bytes pass straight between the key store's own
        // wiped buffers and the file, and no stdio buffer is freed holding them.
        (void)std::setvbuf(stream, nullptr, _IONBF, 0);
    }
    return stream;
}

int ZORVA_CallbackFclose(void *stream)
{
    return std::fclose(Stream(stream));
}

int ZORVA_CallbackFread(void *buffer, size_t length, void *stream)
{
    const size_t readBytes = std::fread(buffer, 1, length, Stream(stream));
    if (std::ferror(Stream(stream)) != 0) {
        const int err = errno;
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_CallbackFread", "ZORVA: Failed to fread, readBytes(%d), err(%d:%s).",
                  static_cast<int>(readBytes), err, strerror_r(err, text, sizeof text));
        return QINT_FALSE;
    }
    return QINT_TRUE;
}

int ZORVA_CallbackFwrite(const void *data, size_t length, void *stream)
{
    const size_t writeBytes = std::fwrite(data, 1, length, Stream(stream));
    if (std::ferror(Stream(stream)) != 0) {
        const int err = errno;
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_CallbackFwrite",
                  "ZORVA: Failed to fwrite, writeBytes(%d), err(%d:%s).", static_cast<int>(writeBytes), err,
                  strerror_r(err, text, sizeof text));
        return QINT_FALSE;
    }
    return QINT_TRUE;
}

int ZORVA_CallbackFflush(void *stream)
{
    return std::fflush(Stream(stream));
}

int ZORVA_CallbackRemove(const char *path)
{
    return std::remove(path);
}

long ZORVA_CallbackFtell(void *stream)
{
    return std::ftell(Stream(stream));
}

long ZORVA_CallbackFseek(void *stream, long offset, int whence)
{
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        return -1;
    }
    return std::fseek(Stream(stream), offset, whence);
}

int ZORVA_CallbackFeof(void *stream, int *isEof)
{
    const int eof = std::feof(Stream(stream)) != 0 ? 1 : 0;
    if (isEof != nullptr) {
        *isEof = eof;
    }
    return 0;
}

int ZORVA_CallbackFerror(void *stream)
{
    return std::ferror(Stream(stream));
}

int ZORVA_CallbackFileExist(const char *path)
{
    return path != nullptr && access(path, F_OK) == 0 ? QINT_TRUE : QINT_FALSE;
}
}
