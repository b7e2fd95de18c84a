// The per-process cache of verified store pairs: an unchanged pair is not
// read again, any change to either file is, whatever its size and times
// say; and unwrapped keys live no longer than the load that made them.
// Built from the component's sources, so the count of live unwrapped keys
// is reachable.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "key_table.h"
#include "keystore_support.h"
#include "zorv_keys.h"

using namespace kstest;

namespace {

std::atomic<int> g_opens{0};

void *CountedOpen(const char *path, int mode)
{
    g_opens++;
    return Open(path, mode);
}

class ImageCacheTest : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        record_.fileOpen = CountedOpen;
        ASSERT_EQ(QintRegFuncEx(&record_), 0u);
    }

    struct Loaded {
        uint64_t result;
        int opens;
    };
    // Initialises and finalises once; the result and how many files were opened.
    Loaded Load()
    {
        g_opens = 0;
        const uint64_t r = QintInitializeEx(0, &names_, 0, nullptr);
        EXPECT_EQ(QintFinalizeEx(), 0u);
        return {r, g_opens.load()};
    }

    // A load caches only files last changed before the clock tick it starts in.
    static void LetTheFilesSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

    // Writes bytes over path in place (same inode), then puts its
    // modification time back to what it was.
    static void RewriteInPlaceKeepingTime(const std::string &path, const std::vector<unsigned char> &bytes)
    {
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        WriteBytes(path, bytes);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        struct stat after {};
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
        ASSERT_EQ(after.st_ino, before.st_ino);
        ASSERT_EQ(after.st_size, before.st_size);
        ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
};

TEST_F(ImageCacheTest, UnchangedPairIsNotReadAgainAndEveryChangeIsSeen)
{
    LetTheFilesSettle();
    EXPECT_GT(Load().opens, 0);
    Loaded again = Load();
    EXPECT_EQ(again.result, 0u);
    EXPECT_EQ(again.opens, 0);

    // Another valid store of the same size, written over both files in
    // place with their old modification times: seen by the status-change
    // times, so it is read and served.
    TempDir other;
    const std::string otherPrimary = other.File("p.dat");
    const std::string otherStandby = other.File("s.dat");
    const QintKeyFileName otherNames{otherPrimary.c_str(), otherStandby.c_str(), nullptr};
    ASSERT_EQ(QintAdminCreateEx(&otherNames, 0, nullptr), 0u);
    const std::vector<unsigned char> replacement = ReadBytes(otherPrimary);
    ASSERT_EQ(replacement.size(), ReadBytes(primary_).size());
    RewriteInPlaceKeepingTime(primary_, replacement);
    RewriteInPlaceKeepingTime(standby_, replacement);
    const Loaded replaced = Load();
    EXPECT_EQ(replaced.result, 0u);
    EXPECT_GT(replaced.opens, 0);

    // Cached again, then damaged in place with the time put back: detected,
    // restored from the standby.
    LetTheFilesSettle();
    EXPECT_EQ(Load().result, 0u);
    EXPECT_EQ(Load().opens, 0);
    std::vector<unsigned char> damaged = replacement;
    damaged[damaged.size() / 2] ^= 0x01;
    RewriteInPlaceKeepingTime(primary_, damaged);
    EXPECT_EQ(Load().result, QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), replacement);
}

// An index serves only loads that bring what opened it: another passphrase,
// a host key file moved, replaced or named by another path, each has the
// files read and a slot opened again, so a lost or changed key is noticed.
TEST_F(ImageCacheTest, AnIndexServesOnlyTheUnlockThatOpenedIt)
{
    LetTheFilesSettle();
    ASSERT_EQ(Load().result, 0u);
    ASSERT_EQ(Load().opens, 0);

    static const unsigned char kPassphrase[] = "correct horse";
    QintProtectSettings settings{};
    settings.hostKeyFile = hostKey_.c_str();
    settings.passphrase = kPassphrase;
    settings.passphraseLength = sizeof kPassphrase - 1;
    ASSERT_EQ(QintProtectSetEx(&settings), 0u);
    EXPECT_GT(Load().opens, 0);
    EXPECT_EQ(Load().opens, 0);
    settings.passphraseLength -= 1;
    ASSERT_EQ(QintProtectSetEx(&settings), 0u);
    EXPECT_GT(Load().opens, 0);

    const std::string aside = hostKey_ + ".aside";
    ASSERT_EQ(::rename(hostKey_.c_str(), aside.c_str()), 0);
    EXPECT_EQ(Load().result, QINT_ERR_HOST_KEY_MISSING);
    std::vector<unsigned char> otherKey(32, 0x5a);
    WriteBytes(hostKey_, otherKey);
    ASSERT_EQ(::chmod(hostKey_.c_str(), 0400), 0);
    EXPECT_EQ(Load().result, QINT_ERR_NO_SLOT_OPENS);

    ASSERT_EQ(::rename(aside.c_str(), hostKey_.c_str()), 0);
    LetTheFilesSettle();
    Loaded back = Load();
    EXPECT_EQ(back.result, 0u);
    EXPECT_GT(back.opens, 0);
    EXPECT_EQ(Load().opens, 0);

    const std::string copy = dir_.File("copy.key");
    WriteBytes(copy, ReadBytes(hostKey_));
    ASSERT_EQ(::chmod(copy.c_str(), 0400), 0);
    LetTheFilesSettle();
    UseHostKey(copy);
    EXPECT_GT(Load().opens, 0);
}

TEST_F(ImageCacheTest, UnwrappedKeysAreWipedWithTheirLoad)
{
    ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
    const QintKeyTable *table = nullptr;
    ASSERT_EQ(QintKeyTableAcquireEx(&table), 0u);
    QintKeyRef ref{};
    ASSERT_EQ(QintKeyLookupEx(table, 9, QINT_ACTIVE_KEY, &ref), 0u);
    ASSERT_EQ(QintKeyLookupEx(table, 9, QINT_ACTIVE_KEY, &ref), 0u);
    ASSERT_EQ(QintKeyLookupEx(table, 152, 1, &ref), 0u);
    EXPECT_EQ(zorv::LiveUnwrappedKeys(), 2u); // once per key and load
    QintKeyTableReleaseEx(table);

    // A reload swaps in a table of its own: the old one's keys go with it.
    ASSERT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(zorv::LiveUnwrappedKeys(), 0u);
    ASSERT_EQ(QintKeyTableAcquireEx(&table), 0u);
    ASSERT_EQ(QintKeyLookupEx(table, 0, QINT_ACTIVE_KEY, &ref), 0u);
    QintKeyTableReleaseEx(table);
    EXPECT_EQ(zorv::LiveUnwrappedKeys(), 1u);
    ASSERT_EQ(QintFinalizeEx(), 0u);
    EXPECT_EQ(zorv::LiveUnwrappedKeys(), 0u);
}

} // namespace
