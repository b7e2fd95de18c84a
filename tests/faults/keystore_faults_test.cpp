// Damage to the key-store files, one kind at a time: every truncation and
// every single-byte change of one copy is survived from the other copy,
// which is then written back; two damaged copies are a clean error that
// writes neither file; an update that stopped after the standby is finished
// by the next load.
#include <sys/wait.h>

#include <functional>

#include "keystore_support.h"
#include "mur.h"
#include "zorv_keys.h"

using namespace kstest;

namespace {

using Bytes = std::vector<unsigned char>;

// Key id of the key that encrypts for domain 9 now.
uint32_t ActiveKeyId()
{
    const unsigned char plain[] = "probe";
    unsigned char cipher[sizeof plain + MUR_CIPHER_OVERHEAD];
    uint32_t len = sizeof cipher;
    if (MurEncryptEx(9, MUR_ALG_AES256_GCM, plain, sizeof plain, cipher, &len) != 0) {
        return 0;
    }
    return cipher[8] | (cipher[9] << 8) | (cipher[10] << 16) | (static_cast<uint32_t>(cipher[11]) << 24);
}

class KeyStoreFaults : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        // Retired keys in the table too, so the damage can hit every kind of entry.
        ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
        good_ = ReadBytes(primary_);
        ASSERT_EQ(ReadBytes(standby_), good_);
        ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
        const char text[] = "sealed before the damage";
        sealed_.resize(sizeof text + MUR_CIPHER_OVERHEAD);
        uint32_t len = static_cast<uint32_t>(sealed_.size());
        ASSERT_EQ(MurEncryptEx(9, MUR_ALG_AES256_GCM, reinterpret_cast<const unsigned char *>(text), sizeof text,
                               sealed_.data(), &len),
                  0u);
        ASSERT_EQ(QintFinalizeEx(), 0u);
    }

    bool OpensSealed() const
    {
        Bytes plain(sealed_.size());
        uint32_t len = static_cast<uint32_t>(plain.size());
        return MurDecryptEx(9, sealed_.data(), static_cast<uint32_t>(sealed_.size()), plain.data(), &len) == 0;
    }

    // Writes damaged over one copy, loads, and reports the first thing that
    // went wrong (empty when the load used the other copy and restored this one).
    std::string LoadsFromTheOther(const std::string &damagedPath, const Bytes &damaged)
    {
        WriteBytes(damagedPath, damaged);
        const uint64_t rc = QintInitializeEx(0, &names_, 0, nullptr);
        std::string problem;
        if (rc != QINT_LOADED_RESTORED) {
            problem = "load answered " + std::to_string(rc);
        } else if (ReadBytes(primary_) != good_ || ReadBytes(standby_) != good_) {
            problem = "not restored";
        } else if (!OpensSealed()) {
            problem = "other keys loaded";
        }
        QintFinalizeEx();
        WriteBytes(damagedPath, good_); // the next case starts healthy either way
        return problem;
    }

    // Runs damage(i) for every i in [0, count) against path; one failure
    // message per bad case (at most a few).
    void EveryCase(const std::string &path, size_t count, const std::function<Bytes(size_t)> &damage)
    {
        int failures = 0;
        for (size_t i = 0; i < count && failures < 5; ++i) {
            const std::string problem = LoadsFromTheOther(path, damage(i));
            if (!problem.empty()) {
                ADD_FAILURE() << path << ", case " << i << ": " << problem;
                ++failures;
            }
        }
    }

    Bytes Truncated(size_t length) const { return Bytes(good_.begin(), good_.begin() + static_cast<long>(length)); }
    Bytes Flipped(size_t at) const
    {
        Bytes b = good_;
        b[at] ^= 0xFF;
        return b;
    }

    Bytes good_;
    Bytes sealed_;
};

TEST_F(KeyStoreFaults, EveryTruncationOfOneCopyLoadsTheOtherAndRestores)
{
    for (const std::string &path : {primary_, standby_}) {
        EveryCase(path, good_.size(), [&](size_t n) { return Truncated(n); });
    }
}

TEST_F(KeyStoreFaults, EverySingleByteChangeOfOneCopyLoadsTheOtherAndRestores)
{
    for (const std::string &path : {primary_, standby_}) {
        EveryCase(path, good_.size(), [&](size_t at) { return Flipped(at); });
    }
}

TEST_F(KeyStoreFaults, ExtendedOrMissingCopyLoadsTheOtherAndRestores)
{
    for (const std::string &path : {primary_, standby_}) {
        Bytes longer = good_;
        longer.push_back(0);
        EXPECT_EQ(LoadsFromTheOther(path, longer), "") << path;
        ASSERT_EQ(::unlink(path.c_str()), 0);
        EXPECT_EQ(QintInitializeEx(0, &names_, 0, nullptr), QINT_LOADED_RESTORED) << path;
        EXPECT_EQ(ReadBytes(path), good_) << path;
        EXPECT_EQ(Mode(path), 0600u) << path;
        QintFinalizeEx();
    }
}

TEST_F(KeyStoreFaults, BothCopiesDamagedIsACleanErrorAndWritesNeither)
{
    const size_t n = good_.size();
    const std::vector<std::pair<Bytes, Bytes>> pairs = {
        {Truncated(0), Truncated(0)},
        {Truncated(n - 1), Flipped(0)},
        {Flipped(n / 2), Flipped(n / 2)},
        {Flipped(n - 1), Truncated(n / 3)},
        {Truncated(67), Flipped(70)},
    };
    for (size_t i = 0; i < pairs.size(); ++i) {
        WriteBytes(primary_, pairs[i].first);
        WriteBytes(standby_, pairs[i].second);
        const uint64_t rc = QintInitializeEx(0, &names_, 0, nullptr);
        EXPECT_TRUE(rc == QINT_ERR_BOTH_DAMAGED || rc == QINT_ERR_UNSUPPORTED_VERSION) << "case " << i << ": " << rc;
        EXPECT_EQ(ReadBytes(primary_), pairs[i].first) << "case " << i;
        EXPECT_EQ(ReadBytes(standby_), pairs[i].second) << "case " << i;
        const QintKeyTable *table = nullptr;
        EXPECT_EQ(QintKeyTableAcquireEx(&table), QINT_ERR_NOT_INITIALIZED) << "nothing loaded, case " << i;
        // A rotation has no valid copy to start from either: nothing written.
        EXPECT_NE(QintAdminRotateEx(&names_, 9, nullptr), 0u);
        EXPECT_EQ(ReadBytes(primary_), pairs[i].first) << "case " << i;
        EXPECT_EQ(ReadBytes(standby_), pairs[i].second) << "case " << i;
    }
    // Damaged files beside a loaded store: a reset keeps the keys it has.
    WriteBytes(primary_, good_);
    WriteBytes(standby_, good_);
    ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
    WriteBytes(primary_, Flipped(50));
    WriteBytes(standby_, Truncated(100));
    EXPECT_EQ(QintResetEx(), QINT_ERR_BOTH_DAMAGED);
    EXPECT_TRUE(OpensSealed());
    EXPECT_EQ(ReadBytes(primary_), Flipped(50));
    EXPECT_EQ(ReadBytes(standby_), Truncated(100));
}

TEST_F(KeyStoreFaults, UpdateThatDiedAfterTheStandbyIsFinishedByTheNextLoad)
{
    // A rotation in a child process that dies as it starts on the primary:
    // the standby holds the new store, the primary was just truncated.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QintCallbacks record = AgentLikeRecord();
        record.fileWrite = [](const void *d, size_t n, void *s) -> int {
            if (static_cast<TrackedFile *>(s)->path.find("primary") != std::string::npos) {
                _exit(9);
            }
            return Write(d, n, s);
        };
        QintRegFuncEx(&record);
        QintAdminRotateEx(&names_, QINT_ALL_DOMAINS, nullptr);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "the child died inside the primary's write";
    const Bytes standby = ReadBytes(standby_);
    ASSERT_NE(standby, good_);
    ASSERT_TRUE(ReadBytes(primary_).empty());

    EXPECT_EQ(QintInitializeEx(0, &names_, 0, nullptr), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), standby);
    EXPECT_EQ(ActiveKeyId(), 3u) << "the rotation's new key is in use";
    EXPECT_TRUE(OpensSealed());
    EXPECT_EQ(QintAdminVerifyEx(&names_, nullptr), 0u);
    QintFinalizeEx();
}

TEST_F(KeyStoreFaults, UpdateStoppedBeforeThePrimaryWasOpenedIsFinishedByTheNextLoad)
{
    // The standby was written whole, the primary still holds the old store.
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    const Bytes newer = ReadBytes(standby_);
    WriteBytes(primary_, good_);
    EXPECT_EQ(QintInitializeEx(0, &names_, 0, nullptr), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), newer) << "the newer standby wins over the older primary";
    EXPECT_EQ(ActiveKeyId(), 3u);
    EXPECT_TRUE(OpensSealed());
    QintFinalizeEx();

    // A write to the primary that fails in this process: the same outcome.
    FailWritesOn(primary_);
    EXPECT_EQ(QintAdminRotateEx(&names_, 9, nullptr), QINT_ERR_FILE_WRITE);
    ClearWriteFailure();
    const Bytes newest = ReadBytes(standby_);
    EXPECT_EQ(QintInitializeEx(0, &names_, 0, nullptr), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), newest);
    EXPECT_EQ(ActiveKeyId(), 4u);
    QintFinalizeEx();
}

} // namespace
