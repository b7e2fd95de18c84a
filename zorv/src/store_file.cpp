#include "store_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "crypto/unique_fd.h"

namespace zorv {
namespace {

// The first read asks for this much: more than a stdio buffer (a block,
// 4 KiB on the usual file systems) and more than a store of a few hundred
// keys, so one read takes the whole file past the stream's buffer.
constexpr std::size_t kFirstChunk = 16u << 10;

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

std::uint64_t ReadStoreFile(const Callbacks &cb, const char *path, SecretBytes &out)
{
    out.clear();
    if (!cb.Exists(path)) {
        return QINT_ERR_FILE_MISSING;
    }
    Stream s(cb, cb.Open(path, QINT_OPEN_READ));
    if (s.get() == nullptr) {
        return QINT_ERR_FILE_READ;
    }
    // The read slot answers only success or failure, not a count: read in
    // chunks until the end of the file and let the position tell what
    // arrived. No seek to the end first: a stdio stream fills its own buffer
    // with the file's last block when it seeks there, and that heap block is
    // freed unwiped. Chunks larger than a stdio buffer go past it straight
    // into ours.
    std::size_t asked = 0;
    for (std::size_t chunk = kFirstChunk;; chunk = asked) {
        chunk = std::min(chunk, kMaxStoreFileSize + 1 - asked); // at least 1 here
        out.resize(asked + chunk);
        if (!cb.Read(out.data() + asked, chunk, s.get())) {
            out.clear();
            return QINT_ERR_FILE_READ;
        }
        asked += chunk;
        if (cb.AtEof(s.get()) || cb.HasError(s.get())) {
            break;
        }
        if (asked > kMaxStoreFileSize) {
            out.clear();
            return QINT_ERR_BAD_LENGTH;
        }
    }
    const long size = cb.Tell(s.get());
    if (cb.HasError(s.get()) || size < 0 || static_cast<std::size_t>(size) > asked) {
        out.clear();
        return QINT_ERR_FILE_READ;
    }
    if (static_cast<std::size_t>(size) > kMaxStoreFileSize) {
        out.clear();
        return QINT_ERR_BAD_LENGTH;
    }
    out.resize(static_cast<std::size_t>(size));
    return 0;
}

std::uint64_t WriteStoreFile(const Callbacks &cb, const char *path, std::span<const std::uint8_t> bytes)
{
    if (cb.callerOpens() && !cb.Exists(path)) {
        // The caller's open creates with its own mode; make the file
        // owner-only first and let the open truncate it.
        const UniqueFd created(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
