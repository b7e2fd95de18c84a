// Fixture pieces shared by the key-store tests: a temporary folder, a
// callback record of plain stdio and pthread functions shaped like the
// agent's, and capture of the component's log lines and events.
#pragma once

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zorv.h"
#include "zorv_admin.h"

namespace kstest {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/zorv_test_XXXXXX";
        const char *p = ::mkdtemp(tmpl);
        path_ = p != nullptr ? p : "/tmp";
    }
    ~TempDir()
    {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
    }
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::vector<unsigned char> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool Exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

inline unsigned Mode(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// What the component sent through the log and notify slots.
struct Capture {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<int> events;
    std::atomic<int> locksCreated{0};
    std::atomic<int> locksDestroyed{0};
    std::atomic<int> failWritesTo{0}; // see FailWritesOn
    std::string failPath;

    static Capture &Get()
    {
        static Capture c;
        return c;
    }
    bool Logged(const std::string &needle)
    {
        std::lock_guard g(mutex);
        for (const auto &l : lines) {
            if (l.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    int EventCount(int code)
    {
        std::lock_guard g(mutex);
        int n = 0;
        for (int e : events) {
            n += e == code;
        }
        return n;
    }
};

// Streams opened for writing remember their path so a test can make the
// writes to one file fail (an interrupted update).
struct TrackedFile {
    FILE *f;
    std::string path;
};

inline void *Open(const char *path, int mode)
{
    const char *m = mode == 0 ? "rb" : mode == 1 ? "wb" : mode == 2 ? "w+b" : nullptr;
    if (m == nullptr) {
        return nullptr;
    }
    FILE *f = std::fopen(path, m);
    return f == nullptr ? nullptr : new TrackedFile{f, path};
}
inline FILE *F(void *s) { return static_cast<TrackedFile *>(s)->f; }
inline int Close(void *s)
{
    const int rc = std::fclose(F(s));
    delete static_cast<TrackedFile *>(s);
    return rc;
}
inline int Read(void *b, size_t n, void *s)
{
    std::fread(b, 1, n, F(s));
    return std::ferror(F(s)) ? QINT_FALSE : QINT_TRUE;
}
inline int Write(const void *d, size_t n, void *s)
{
    auto &c = Capture::Get();
    if (c.failWritesTo.load() != 0 && static_cast<TrackedFile *>(s)->path == c.failPath) {
        return QINT_FALSE;
    }
    std::fwrite(d, 1, n, F(s));
    return std::ferror(F(s)) ? QINT_FALSE : QINT_TRUE;
}
inline int Flush(void *s) { return std::fflush(F(s)); }
inline int Remove(const char *p) { return std::remove(p); }
inline long Tell(void *s) { return std::ftell(F(s)); }
inline long Seek(void *s, long o, int w) { return (w < 0 || w > 2) ? -1 : std::fseek(F(s), o, w); }
inline int Eof(void *s, int *flag)
{
    *flag = std::feof(F(s)) ? 1 : 0;
    return 0;
}
inline int Error(void *s) { return std::ferror(F(s)); }
inline int FileExist(const char *p) { return ::access(p, F_OK) == 0 ? QINT_TRUE : QINT_FALSE; }
inline int LockCreate(void **lock)
{
    auto *m = new pthread_mutex_t;
    pthread_mutex_init(m, nullptr);
    *lock = m;
    Capture::Get().locksCreated++;
    return QINT_TRUE;
}
inline void LockDestroy(void *lock)
{
    pthread_mutex_destroy(static_cast<pthread_mutex_t *>(lock));
    delete static_cast<pthread_mutex_t *>(lock);
    Capture::Get().locksDestroyed++;
}
inline void LockAcquire(void *lock) { pthread_mutex_lock(static_cast<pthread_mutex_t *>(lock)); }
inline void LockRelease(void *lock) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(lock)); }
inline void Log(int level, const char *t1, const char *t2, int number, char *message)
{
    auto &c = Capture::Get();
    std::lock_guard g(c.mutex);
    c.lines.push_back(std::to_string(level) + "," + t1 + "," + t2 + "," + std::to_string(number) + "," + message);
}
inline void Notify(int32_t code, const void *, size_t)
{
    auto &c = Capture::Get();
    std::lock_guard g(c.mutex);
    c.events.push_back(code);
}
inline int Random(unsigned char *b, int n)
{
    // Deterministic enough for tests, never used for anything real.
    static std::atomic<unsigned> seed{12345};
    for (int i = 0; i < n; ++i) {
        b[i] = static_cast<unsigned char>((seed.fetch_add(2654435761u) >> 13) & 0xFF);
    }
    return 1;
}
inline int GmTime(const time_t *t, struct tm *out) { return ::gmtime_r(t, out) != nullptr ? QINT_TRUE : QINT_FALSE; }

// A record filled the way the agent fills it (slot 25 with a test source).
inline QintCallbacks AgentLikeRecord()
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
    cb.fileExist = FileExist;
    cb.lockCreate = LockCreate;
    cb.lockDestroy = LockDestroy;
    cb.lockAcquire = LockAcquire;
    cb.lockRelease = LockRelease;
    cb.log = Log;
    cb.notify = Notify;
    cb.randomBytes = Random;
    cb.gmTime = GmTime;
    return cb;
}

// Makes every write to path fail until cleared.
inline void FailWritesOn(const std::string &path)
{
    Capture::Get().failPath = path;
    Capture::Get().failWritesTo = 1;
}
inline void ClearWriteFailure() { Capture::Get().failWritesTo = 0; }

// This process's host key file from now on (created by the next create).
inline void UseHostKey(const std::string &path)
{
    QintProtectSettings settings{};
    settings.hostKeyFile = path.c_str();
    ASSERT_EQ(QintProtectSetEx(&settings), 0u);
}

// A store pair in a temporary folder with a host key file of its own,
// registered and created.
class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        static_assert(sizeof(QintCallbacks) == 328);
        primary_ = dir_.File("zorvm_primary_file.dat");
        standby_ = dir_.File("zorvm_standby_file.dat");
        names_ = QintKeyFileName{primary_.c_str(), standby_.c_str(), nullptr};
        record_ = AgentLikeRecord();
        ASSERT_EQ(QintRegFuncEx(&record_), 0u);
        UseHostKey(hostKey_);
        ASSERT_EQ(QintAdminCreateEx(&names_, 0, nullptr), 0u);
    }
    void TearDown() override
    {
        QintFinalizeEx();
        QintProtectSetEx(nullptr);
    }


    TempDir dir_;
    std::string primary_;
    std::string standby_;
    std::string hostKey_ = dir_.File("host.key");
    QintKeyFileName names_{};
    QintCallbacks record_{};
};

} // namespace kstest
