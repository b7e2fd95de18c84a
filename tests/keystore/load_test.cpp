// Loading a key-store pair: which copy is trusted, what is restored, and
// that damaged files are never used.
#include "keystore_support.h"
#include "mur.h"

#include <cstdio>
#include "mur.h"

using namespace kstest;

namespace {

class LoadTest : public StoreFixture {
protected:
    uint64_t Init() { return QintInitializeEx(0, &names_, 0, nullptr); }

    // Encrypts with domain 9 so a later load can be checked for the same keys.
    std::vector<unsigned char> Seal(const char *text)
    {
        std::vector<unsigned char> c(std::strlen(text) + MUR_CIPHER_OVERHEAD);
        uint32_t len = static_cast<uint32_t>(c.size());
        EXPECT_EQ(MurEncryptEx(9, 9, reinterpret_cast<const unsigned char *>(text),
                               static_cast<uint32_t>(std::strlen(text)), c.data(), &len),
                  0u);
        return c;
    }
    uint64_t Open(const std::vector<unsigned char> &c)
    {
        std::vector<unsigned char> p(c.size());
        uint32_t len = static_cast<uint32_t>(p.size());
        return MurDecryptEx(9, c.data(), static_cast<uint32_t>(c.size()), p.data(), &len);
    }
    uint64_t Verify() { return QintAdminVerifyEx(&names_, nullptr); }
};

TEST_F(LoadTest, BothValidAndEqualLoadWithZeroAndUseTheCallbackLock)
{
    EXPECT_EQ(Init(), 0u);
    EXPECT_EQ(Capture::Get().locksCreated.load(), 1);
    EXPECT_EQ(Verify(), 0u);
    EXPECT_EQ(QintFinalizeEx(), 0u);
    EXPECT_EQ(Capture::Get().locksDestroyed.load(), 1);
    EXPECT_EQ(QintFinalizeEx(), 0u) << "finalising twice is harmless";
    EXPECT_EQ(QintResetEx(), QINT_ERR_NOT_INITIALIZED);
}

TEST_F(LoadTest, MissingDamagedOrOlderCopyIsRestoredFromTheOther)
{
    const auto good = ReadBytes(primary_);

    // Missing standby: recreated owner-only.
    ::unlink(standby_.c_str());
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(standby_), good);
    EXPECT_EQ(Mode(standby_), 0600u);
    EXPECT_EQ(Capture::Get().EventCount(QINT_EVENT_COPY_RESTORED), 1);
    const auto cipher = Seal("same keys");
    QintFinalizeEx();

    // Damaged primary.
    auto bad = good;
    bad[100] ^= 0x01;
    WriteBytes(primary_, bad);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), good);
    EXPECT_EQ(Open(cipher), 0u);
    QintFinalizeEx();

    // Older standby: the newer primary wins.
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    const auto newer = ReadBytes(primary_);
    WriteBytes(standby_, good);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(standby_), newer);
    QintFinalizeEx();

    // Older primary: the newer standby wins.
    WriteBytes(primary_, good);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), newer);
    EXPECT_EQ(Verify(), 0u);
}

// A writer replaces the standby and then the primary. A load that read the
// old primary and then finds the new standby must look at the primary again
// rather than write over what the writer just put there.
std::string g_finishFrom;
std::string g_finishTo;
std::string g_finishWhenOpening;

void *OpenFinishingTheWriter(const char *path, int mode)
{
    if (mode == QINT_OPEN_READ && !g_finishFrom.empty() && g_finishWhenOpening == path) {
        EXPECT_EQ(::rename(g_finishFrom.c_str(), g_finishTo.c_str()), 0);
        g_finishFrom.clear();
    }
    return AgentLikeRecord().fileOpen(path, mode);
}

TEST_F(LoadTest, AWriterFinishingDuringTheLoadIsTakenNotRestoredOver)
{
    const auto old = ReadBytes(primary_);
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    const auto newer = ReadBytes(primary_);
    WriteBytes(primary_, old); // as between the writer's standby and primary
    const std::string next = dir_.File("next-primary");
    WriteBytes(next, newer);
    g_finishFrom = next;
    g_finishTo = primary_;
    g_finishWhenOpening = standby_;
    record_.fileOpen = OpenFinishingTheWriter;
    ASSERT_EQ(QintRegFuncEx(&record_), 0u);
    const int restored = Capture::Get().EventCount(QINT_EVENT_COPY_RESTORED);

    EXPECT_EQ(Init(), 0u) << "both copies equal once the writer is done";
    EXPECT_TRUE(g_finishFrom.empty()) << "the writer finished during the load";
    EXPECT_EQ(Capture::Get().EventCount(QINT_EVENT_COPY_RESTORED), restored);
    EXPECT_EQ(ReadBytes(primary_), newer);
    QintFinalizeEx();

    // Without a writer, an older primary is still restored from the standby.
    WriteBytes(primary_, old);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), newer);
}

TEST_F(LoadTest, ACopyOfAnotherStoreNeverRestoresNorReplacesThisOne)
{
    // Another store that opens here too, with a higher counter, as the
    // standby: it is refused and left as it is, whatever its counter says.
    TempDir other;
    const std::string p2 = other.File("p"), s2 = other.File("s");
    QintKeyFileName n2{p2.c_str(), s2.c_str(), nullptr};
    ASSERT_EQ(QintAdminCreateEx(&n2, 0, nullptr), 0u);
    ASSERT_EQ(QintAdminRotateEx(&n2, QINT_ALL_DOMAINS, nullptr), 0u);
    const auto foreign = ReadBytes(p2);
    WriteBytes(standby_, foreign);
    const auto primary = ReadBytes(primary_);
    QintAdminReport report{};
    EXPECT_EQ(QintAdminVerifyEx(&names_, &report), QINT_ERR_FOREIGN_COPY);
    EXPECT_EQ(report.failedFile, QINT_FILE_STANDBY);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_TRUE(Capture::Get().Logged("refused"));
    EXPECT_EQ(ReadBytes(standby_), foreign);
    EXPECT_EQ(ReadBytes(primary_), primary);
}

TEST_F(LoadTest, NoValidCopyFailsWithItsCauseAndWritesNothing)
{
    auto p = ReadBytes(primary_);
    auto s = ReadBytes(standby_);
    p[200] ^= 0x80;
    s.resize(s.size() - 1);
    WriteBytes(primary_, p);
    WriteBytes(standby_, s);
    EXPECT_EQ(Init(), QINT_ERR_BOTH_DAMAGED);
    EXPECT_EQ(ReadBytes(primary_), p);
    EXPECT_EQ(ReadBytes(standby_), s);
    EXPECT_TRUE(Capture::Get().Logged("no usable key store"));
    std::vector<unsigned char> c(64);
    uint32_t len = 64;
    EXPECT_EQ(MurEncryptEx(9, 9, reinterpret_cast<const unsigned char *>("x"), 1, c.data(), &len),
              MUR_ERR_NOT_INITIALIZED);

    // Another format version, and nothing else usable.
    auto v3 = ReadBytes(primary_);
    v3[4] = 4;
    WriteBytes(primary_, v3);
    EXPECT_EQ(Init(), QINT_ERR_UNSUPPORTED_VERSION);

    ::unlink(primary_.c_str());
    ::unlink(standby_.c_str());
    EXPECT_EQ(Init(), QINT_ERR_FILES_UNREADABLE);
    EXPECT_FALSE(Exists(primary_));
}

TEST_F(LoadTest, BadNamesAndMissingRegistrationAreRefused)
{
    EXPECT_EQ(QintInitializeEx(0, nullptr, 0, nullptr), QINT_ERR_BAD_FILE_NAME);
    QintKeyFileName n{nullptr, standby_.c_str(), nullptr};
    EXPECT_EQ(QintInitializeEx(0, &n, 0, nullptr), QINT_ERR_BAD_FILE_NAME);
    n = {"", standby_.c_str(), nullptr};
    EXPECT_EQ(QintInitializeEx(0, &n, 0, nullptr), QINT_ERR_BAD_FILE_NAME);
    const std::string longPath(5000, 'a');
    n = {longPath.c_str(), standby_.c_str(), nullptr};
    EXPECT_EQ(QintInitializeEx(0, &n, 0, nullptr), QINT_ERR_BAD_FILE_NAME);
    EXPECT_EQ(QintRegFuncEx(nullptr), QINT_ERR_NO_CALLBACKS);
    EXPECT_STREQ(QintErrorTextEx(QINT_ERR_BAD_MAC), "integrity check failed (damaged or edited)");
    EXPECT_STREQ(QintErrorTextEx(777), "unknown error");
}

int RefuseLock(void **) { return QINT_FALSE; }

TEST_F(LoadTest, ALockThatCannotBeCreatedFailsTheLoadAndPartLockSlotsAreNotUsed)
{
    QintCallbacks noLock = record_;
    noLock.lockCreate = RefuseLock;
    ASSERT_EQ(QintRegFuncEx(&noLock), 0u);
    EXPECT_EQ(Init(), QINT_ERR_LOCK);

    // Without acquire and release the record offers no usable lock: the
    // component's own is used and slot 14 is never called.
    QintCallbacks partial = record_;
    partial.lockAcquire = nullptr;
    ASSERT_EQ(QintRegFuncEx(&partial), 0u);
    EXPECT_EQ(Init(), 0u);
    EXPECT_EQ(Capture::Get().locksCreated.load(), 0);
    EXPECT_FALSE(Seal("works").empty());
}

TEST_F(LoadTest, LogLinesCarryTheComponentLevels)
{
    ::unlink(standby_.c_str());
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_TRUE(Capture::Get().Logged("1,ZORV,QintInitializeEx,0,restored " + standby_));
    EXPECT_TRUE(Capture::Get().Logged("3,ZORV,QintInitializeEx,0,key store of 37 keys, update 1 of "));
    QintFinalizeEx();
    WriteBytes(primary_, {});
    WriteBytes(standby_, {});
    EXPECT_EQ(Init(), QINT_ERR_BOTH_DAMAGED);
    EXPECT_TRUE(Capture::Get().Logged("2,ZORV,QintInitializeEx,1004,no usable key store: both key-store files are "
                                      "damaged: primary " + primary_ + " and standby " + standby_ +
                                      ": wrong length (truncated or extended)"));
}

TEST(LoadWithoutRegistration, IsRefused)
{
    QintKeyFileName n{"/nonexistent/p", "/nonexistent/s", nullptr};
    EXPECT_EQ(QintInitializeEx(0, &n, 0, nullptr), QINT_ERR_NO_CALLBACKS);
}

TEST(LoadWithNullSlots, WorksWithEveryCallbackSlotNull)
{
    TempDir dir;
    const std::string p = dir.File("p"), s = dir.File("s");
    QintKeyFileName n{p.c_str(), s.c_str(), nullptr};
    const QintCallbacks empty{};
    ASSERT_EQ(QintRegFuncEx(&empty), 0u);
    UseHostKey(dir.File("host.key"));
    ASSERT_EQ(QintAdminCreateEx(&n, 0, nullptr), 0u);
    EXPECT_EQ(Mode(p), 0600u);
    EXPECT_EQ(Mode(s), 0600u);
    ::unlink(s.c_str());
    EXPECT_EQ(QintInitializeEx(0, &n, 0, nullptr), QINT_LOADED_RESTORED);
    EXPECT_EQ(Mode(s), 0600u);
    unsigned char c[64];
    uint32_t len = sizeof c;
    EXPECT_EQ(MurEncryptEx(152, 9, reinterpret_cast<const unsigned char *>("abc"), 3, c, &len), 0u);
    unsigned char plain[64];
    uint32_t plainLen = sizeof plain;
    EXPECT_EQ(MurDecryptEx(152, c, len, plain, &plainLen), 0u);
    EXPECT_EQ(plainLen, 3u);
    EXPECT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(QintFinalizeEx(), 0u);
    QintProtectSetEx(nullptr);
}

TEST_F(LoadTest, DamagedFilesAreDetectedThroughTheFilesAndToldApart)
{
    // Every flip and truncation is covered on the codec itself
    // (store_codec_test); here a sample goes through real files.
    const auto good = ReadBytes(primary_);
    constexpr std::size_t kEntries = 88 + 64; // header, one host slot
    ASSERT_EQ(good.size(), kEntries + 37u * 88u + 32u);
    QintAdminReport report{};
    for (std::size_t i = 0; i < good.size(); i += 53) {
        auto bad = good;
        bad[i] ^= static_cast<unsigned char>(1u << (i % 8));
        WriteBytes(primary_, bad);
        ASSERT_NE(QintAdminVerifyEx(&names_, &report), 0u) << "flip at " << i;
        ASSERT_EQ(report.failedFile, QINT_FILE_PRIMARY) << "flip at " << i;
    }
    for (std::size_t n : {0ul, 3ul, 4ul, 67ul, 68ul, 72ul, 88ul, 151ul, 1000ul, good.size() - 1}) {
        WriteBytes(primary_, std::vector<unsigned char>(good.begin(), good.begin() + static_cast<long>(n)));
        ASSERT_NE(QintAdminVerifyEx(&names_, &report), 0u) << "truncated to " << n;
    }
    auto longer = good;
    longer.push_back(0);
    WriteBytes(primary_, longer);
    EXPECT_EQ(QintAdminVerifyEx(&names_, &report), QINT_ERR_BAD_LENGTH);

    // The causes are told apart.
    auto magic = good;
    magic[0] = 'X';
    WriteBytes(primary_, magic);
    EXPECT_EQ(QintAdminVerifyEx(&names_, &report), QINT_ERR_BAD_MAGIC);
    auto edited = good;
    edited[kEntries + 8] = 2; // first entry: active → retired, MAC left as it was
    WriteBytes(primary_, edited);
    EXPECT_EQ(QintAdminVerifyEx(&names_, &report), QINT_ERR_BAD_MAC);
    WriteBytes(primary_, std::vector<unsigned char>{'{', '"', 'k', '"', '}'});
    EXPECT_EQ(QintAdminVerifyEx(&names_, &report), QINT_ERR_BAD_MAGIC);

    // And the loader uses the healthy standby.
    WriteBytes(primary_, edited);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(ReadBytes(primary_), good);
}

TEST_F(LoadTest, AnInterruptedWriteIsRepairedOnTheNextLoad)
{
    // The update writes the standby first; make the primary write fail as a
    // crash between the two would.
    FailWritesOn(primary_);
    QintAdminReport report{};
    EXPECT_EQ(QintAdminRotateEx(&names_, QINT_ALL_DOMAINS, &report), QINT_ERR_FILE_WRITE);
    EXPECT_EQ(report.failedFile, QINT_FILE_PRIMARY);
    ClearWriteFailure();
    EXPECT_NE(Verify(), 0u);
    EXPECT_EQ(Init(), QINT_LOADED_RESTORED);
    EXPECT_EQ(Verify(), 0u);
    const auto standby = ReadBytes(standby_);
    EXPECT_EQ(ReadBytes(primary_), standby);
}

TEST_F(LoadTest, FailedResetKeepsTheKeysAndAReloadThatChangesKeysIsAnnounced)
{
    ASSERT_EQ(Init(), 0u);
    const auto cipher = Seal("kept");
    const auto p = ReadBytes(primary_);
    WriteBytes(primary_, {1, 2, 3});
    WriteBytes(standby_, {4, 5, 6});
    EXPECT_EQ(QintResetEx(), QINT_ERR_BOTH_DAMAGED);
    EXPECT_EQ(Open(cipher), 0u) << "the keys loaded before stay in use";
    WriteBytes(primary_, p);
    WriteBytes(standby_, p);
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    EXPECT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(Capture::Get().EventCount(QINT_EVENT_ACTIVE_KEY_CHANGED), 1);
    EXPECT_EQ(Open(cipher), 0u);
}

TEST_F(LoadTest, InitializeOnALoadedStoreReloadsFromTheNewNames)
{
    ASSERT_EQ(Init(), 0u);
    const auto cipher = Seal("first store");
    TempDir other;
    const std::string p2 = other.File("p"), s2 = other.File("s");
    QintKeyFileName n2{p2.c_str(), s2.c_str(), nullptr};
    ASSERT_EQ(QintAdminCreateEx(&n2, 0, nullptr), 0u);
    EXPECT_EQ(QintInitializeEx(0, &n2, 0, nullptr), 0u);
    EXPECT_EQ(Open(cipher), MUR_ERR_AUTH_FAILED) << "other store, other keys";
    EXPECT_EQ(Capture::Get().locksCreated.load(), 1);
}

} // namespace
