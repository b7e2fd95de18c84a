#include "memory_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "zorv_admin.h"
#include "zorv_domains.h"

namespace fuzzsupport {
namespace {

std::map<std::string, Bytes> &Files()
{
    static std::map<std::string, Bytes> files;
    return files;
}

struct Handle {
    Bytes *data;
    std::size_t pos = 0;
    bool eof = false;
};

Handle *H(void *stream) { return static_cast<Handle *>(stream); }

void *Open(const char *path, int mode)
{
    auto &files = Files();
    if (mode == QINT_OPEN_READ) {
        auto it = files.find(path);
        return it == files.end() ? nullptr : new Handle{&it->second};
    }
    if (mode != QINT_OPEN_WRITE && mode != QINT_OPEN_READWRITE) {
        return nullptr;
    }
    Bytes &b = files[path];
    b.clear();
    return new Handle{&b};
}

int Close(void *stream)
{
    delete H(stream);
    return 0;
}

int Read(void *buffer, std::size_t length, void *stream)
{
    Handle *h = H(stream);
    const std::size_t n = std::min(length, h->data->size() - std::min(h->pos, h->data->size()));
    if (n > 0) {
        std::memcpy(buffer, h->data->data() + h->pos, n);
    }
    h->pos += n;
    h->eof = n < length;
    return QINT_TRUE;
}

int Write(const void *data, std::size_t length, void *stream)
{
    Handle *h = H(stream);
    if (h->data->size() < h->pos + length) {
        h->data->resize(h->pos + length);
    }
    std::memcpy(h->data->data() + h->pos, data, length);
    h->pos += length;
    return QINT_TRUE;
}

int Flush(void *) { return 0; }

int Remove(const char *path) { return Files().erase(path) == 1 ? 0 : -1; }

long Tell(void *stream) { return static_cast<long>(H(stream)->pos); }

long Seek(void *stream, long offset, int whence)
{
    Handle *h = H(stream);
    const long base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<long>(h->pos)
                                                                   : static_cast<long>(h->data->size());
    if (base + offset < 0) {
        return -1;
    }
    h->pos = static_cast<std::size_t>(base + offset);
    h->eof = false;
    return 0;
}

int Eof(void *stream, int *isEof)
{
    *isEof = H(stream)->eof ? 1 : 0;
    return 0;
}

int Error(void *) { return 0; }

int Exist(const char *path) { return Files().count(path) != 0 ? QINT_TRUE : QINT_FALSE; }

std::uint64_t g_random = 1;

QintCallbacks MakeRecord()
{
    QintCallbacks cb{};
    cb.fileOpen = Open;
    cb.fileClose = Close;
    cb.fileRead = Read;
    cb.fileWrite = Write;
    cb.fileFlush = Flush;
    cb.fileRemove = Remove;
    cb.fileTell = Tell;
    cb.fileSeek = Seek;
    cb.fileEof = Eof;
    cb.fileError = Error;
    cb.fileExist = Exist;
    cb.randomBytes = RepeatableRandom;
    return cb;
}

} // namespace

const QintCallbacks &MemoryCallbacks()
{
    static const QintCallbacks record = MakeRecord();
    return record;
}

void PutFile(const std::string &path, const Bytes &bytes) { Files()[path] = bytes; }
void RemoveFile(const std::string &path) { Files().erase(path); }
void ClearFiles() { Files().clear(); }

bool GetFile(const std::string &path, Bytes &out)
{
    auto it = Files().find(path);
    if (it == Files().end()) {
        return false;
    }
    out = it->second;
    return true;
}

void Reseed(std::uint64_t seed) { g_random = seed; }

int RepeatableRandom(unsigned char *buffer, int count)
{
    for (int i = 0; i < count; ++i) {
        // splitmix64: enough for repeatable test keys, never for real ones.
        std::uint64_t z = (g_random += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        buffer[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
    return 1;
}

std::uint64_t LoadFixedStore(std::uint64_t seed, bool rotateOnce)
{
    std::uint64_t rc = QintRegFuncEx(&MemoryCallbacks());
    if (rc != 0) {
        return rc;
    }
    Reseed(seed);
    ClearFiles();
    const QintKeyFileName names{kPrimaryPath, kStandbyPath, nullptr};
    if ((rc = QintAdminCreateEx(&names, 0, nullptr)) != 0) {
        return rc;
    }
    if (rotateOnce && (rc = QintAdminRotateEx(&names, QINT_ALL_DOMAINS, nullptr)) != 0) {
        return rc;
    }
    return QintInitializeEx(0, &names, 0, nullptr);
}

void StartOnFixedStore(void (*writeSeeds)(const std::string &dir))
{
    Check(LoadFixedStore(0x5EED, true) == 0, "load the fixed store");
    if (const char *dir = std::getenv("ZORVA_FUZZ_WRITE_SEEDS")) {
        writeSeeds(dir);
        std::exit(0);
    }
}

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz target: %s\n", what);
        std::abort();
    }
}

std::uint32_t DomainOf(std::uint8_t selector)
{
    static constexpr std::uint32_t kDomains[QINT_DOMAIN_COUNT] = {QINT_DOMAIN_IDS};
    return (selector & 0x80) != 0 ? selector & 0x7Fu : kDomains[selector % QINT_DOMAIN_COUNT];
}

} // namespace fuzzsupport
