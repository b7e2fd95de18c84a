#include "store_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace zorv {
namespace {

class Stream {
public:
    Stream(const Callbacks &cb, void *handle) : cb_(cb), handle_(handle) {}
    ~Stream()
    {
        if (handle_ != nullptr) {
            cb_.Close(handle_);
        }
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    void *get() const { return handle_; }
    // Closes now and reports whether the close succeeded.
    bool Close()
    {
        void *h = handle_;
        handle_ = nullptr;
        return h != nullptr && cb_.Close(h) == 0;
    }

private:
    const Callbacks &cb_;
    void *handle_;
};

} // namespace

std::uint64_t ReadStoreFile(const Callbacks &cb, const char *path, std::vector<std::uint8_t> &out)
{
    out.clear();
    if (!cb.Exists(path)) {
        return QINT_ERR_FILE_MISSING;
    }
    Stream s(cb, cb.Open(path, QINT_OPEN_READ));
    if (s.get() == nullptr) {
        return QINT_ERR_FILE_READ;
    }
    // The read slot answers only success or failure, not a count: learn the
    // size first, read exactly that, and confirm the end of file after it.
    if (cb.Seek(s.get(), 0, SEEK_END) != 0) {
        return QINT_ERR_FILE_READ;
    }
    const long size = cb.Tell(s.get());
    if (size < 0 || cb.Seek(s.get(), 0, SEEK_SET) != 0) {
        return QINT_ERR_FILE_READ;
    }
    if (static_cast<unsigned long>(size) > kMaxStoreFileSize) {
        return QINT_ERR_BAD_LENGTH;
    }
    out.resize(static_cast<std::size_t>(size));
    if (size > 0 && !cb.Read(out.data(), out.size(), s.get())) {
        out.clear();
        return QINT_ERR_FILE_READ;
    }
    // A file that shrank underneath leaves the end-of-file flag set already;
    // one that grew does not reach it with one more byte.
    std::uint8_t extra = 0;
    if (cb.AtEof(s.get()) || !cb.Read(&extra, 1, s.get()) || !cb.AtEof(s.get()) || cb.HasError(s.get())) {
        out.clear();
        return QINT_ERR_BAD_LENGTH;
    }
    return 0;
}

std::uint64_t WriteStoreFile(const Callbacks &cb, const char *path, std::span<const std::uint8_t> bytes)
{
    if (cb.callerOpens() && !cb.Exists(path)) {
        // The caller's open creates with its own mode; make the file
        // owner-only first and let the open truncate it.
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Stream s(cb, cb.Open(path, QINT_OPEN_WRITE));
    if (s.get() == nullptr) {
        return QINT_ERR_FILE_WRITE;
    }
    if (!bytes.empty() && !cb.Write(bytes.data(), bytes.size(), s.get())) {
        return QINT_ERR_FILE_WRITE;
    }
    if (cb.Flush(s.get()) != 0 || cb.HasError(s.get())) {
        return QINT_ERR_FILE_WRITE;
    }
    return s.Close() ? 0 : QINT_ERR_FILE_WRITE;
}

} // namespace zorv
