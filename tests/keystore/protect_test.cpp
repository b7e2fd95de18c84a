// Protection at rest: a store opens only where one of its slots opens (the
// host key file, a recovery passphrase), each refusal with its own cause,
// and a store of the built-in format moves to a host slot keeping every key.
#include <sys/stat.h>

#include <cstring>

#include "keystore_support.h"
#include "mur.h"
#include "zorv_admin.h"

using namespace kstest;

namespace {

using Bytes = std::vector<unsigned char>;

class ProtectTest : public StoreFixture {
protected:
    uint64_t Init() { return QintInitializeEx(0, &names_, 0, nullptr); }
    uint64_t Verify() { return QintAdminVerifyEx(&names_, nullptr); }

    Bytes Seal(const std::string &text)
    {
        Bytes c(text.size() + MUR_CIPHER_OVERHEAD);
        uint32_t len = static_cast<uint32_t>(c.size());
        EXPECT_EQ(MurEncryptEx(9, MUR_ALG_AES256_GCM, reinterpret_cast<const unsigned char *>(text.data()),
                               static_cast<uint32_t>(text.size()), c.data(), &len),
                  0u);
        return c;
    }
    std::string Open(const Bytes &c)
    {
        Bytes p(c.size());
        uint32_t len = static_cast<uint32_t>(p.size());
        if (MurDecryptEx(9, c.data(), static_cast<uint32_t>(c.size()), p.data(), &len) != 0) {
            return "(refused)";
        }
        return std::string(p.begin(), p.begin() + len);
    }
    // Recovery passphrase and host key for what follows; scrypt at 2^14 to
    // keep the test quick.
    static void Settings(const std::string &hostKey, const char *passphrase)
    {
        QintProtectSettings s{};
        s.hostKeyFile = hostKey.c_str();
        s.passphrase = reinterpret_cast<const unsigned char *>(passphrase);
        s.passphraseLength = passphrase != nullptr ? std::strlen(passphrase) : 0;
        s.recoveryLog2N = 14;
        ASSERT_EQ(QintProtectSetEx(&s), 0u);
    }
    std::vector<QintSlotInfo> Slots(uint64_t *rc = nullptr)
    {
        std::vector<QintSlotInfo> slots(8);
        uint32_t count = 0;
        const uint64_t r = QintAdminSlotsEx(&names_, slots.data(), 8, &count, nullptr);
        if (rc != nullptr) {
            *rc = r;
        }
        slots.resize(r == 0 ? count : 0);
        return slots;
    }
};

TEST_F(ProtectTest, AHostStoreOpensOnlyWithItsOwnHostKeyFile)
{
    ASSERT_EQ(Init(), 0u);
    const Bytes sealed = Seal("bound to this host");
    QintFinalizeEx();
    EXPECT_EQ(Mode(hostKey_), 0400u);
    const Bytes store = ReadBytes(primary_);
    const Bytes key = ReadBytes(hostKey_);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(std::search(store.begin(), store.end(), key.begin(), key.end()), store.end());

    // No host key file: refused, and the log names the file.
    ASSERT_EQ(::rename(hostKey_.c_str(), (hostKey_ + ".away").c_str()), 0);
    EXPECT_EQ(Init(), QINT_ERR_HOST_KEY_MISSING);
    EXPECT_TRUE(Capture::Get().Logged("no usable key store: host key file does not exist: host key file " + hostKey_));
    EXPECT_EQ(Verify(), QINT_ERR_HOST_KEY_MISSING);

    // Another host's key: its own error, and neither copy is touched.
    Bytes other = key;
    other[0] ^= 1;
    WriteBytes(hostKey_, other);
    ASSERT_EQ(::chmod(hostKey_.c_str(), 0400), 0);
    EXPECT_EQ(Init(), QINT_ERR_NO_SLOT_OPENS);
    EXPECT_EQ(ReadBytes(primary_), store);
    EXPECT_EQ(ReadBytes(standby_), store);

    // The right key readable by others is refused too; owner-only, it opens.
    ASSERT_EQ(::rename((hostKey_ + ".away").c_str(), hostKey_.c_str()), 0);
    ASSERT_EQ(::chmod(hostKey_.c_str(), 0644), 0);
    EXPECT_EQ(Init(), QINT_ERR_HOST_KEY_BAD);
    ASSERT_EQ(::chmod(hostKey_.c_str(), 0400), 0);
    ASSERT_EQ(Init(), 0u);
    EXPECT_EQ(Open(sealed), "bound to this host");

    // A new store on this host uses the same key file, never a new one.
    QintFinalizeEx();
    const std::string p2 = dir_.File("p2.dat"), s2 = dir_.File("s2.dat");
    const QintKeyFileName n2{p2.c_str(), s2.c_str(), nullptr};
    ASSERT_EQ(QintAdminCreateEx(&n2, 0, nullptr), 0u);
    EXPECT_EQ(ReadBytes(hostKey_), key);
}

TEST_F(ProtectTest, RecoveryMovesAStoreToANewHostWhereAddHostRebindsIt)
{
    Settings(hostKey_, "old host passphrase");
    ASSERT_EQ(QintAdminCreateProtectedEx(&names_, QINT_ADMIN_FORCE | QINT_ADMIN_RECOVERY, QINT_PROTECT_HOST,
                                         nullptr),
              0u);
    ASSERT_EQ(Init(), 0u);
    const Bytes sealed = Seal("moves with its store");
    QintFinalizeEx();

    // The "new host": the same files, another host key file (not there yet).
    const std::string newKey = dir_.File("new_host.key");
    Settings(newKey, nullptr);
    EXPECT_EQ(Init(), QINT_ERR_HOST_KEY_MISSING);
    Settings(newKey, "not the passphrase");
    EXPECT_EQ(Init(), QINT_ERR_WRONG_PASSPHRASE);
    uint64_t rc = 0;
    const auto locked = Slots(&rc);
    ASSERT_EQ(rc, 0u);
    ASSERT_EQ(locked.size(), 2u);
    EXPECT_EQ(locked[0].status, QINT_ERR_HOST_KEY_MISSING);
    EXPECT_EQ(locked[1].status, QINT_ERR_WRONG_PASSPHRASE);
    EXPECT_EQ(QintAdminAddSlotEx(&names_, QINT_PROTECT_HOST, nullptr, nullptr), QINT_ERR_WRONG_PASSPHRASE);
    EXPECT_FALSE(Exists(newKey)) << "nothing made for a store that did not open";

    Settings(newKey, "old host passphrase");
    ASSERT_EQ(Init(), 0u) << "the recovery slot opens it";
    EXPECT_EQ(Open(sealed), "moves with its store");
    QintFinalizeEx();
    uint32_t id = 0;
    ASSERT_EQ(QintAdminAddSlotEx(&names_, QINT_PROTECT_HOST, &id, nullptr), 0u);
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(Mode(newKey), 0400u);

    // Bound here now: no passphrase needed, as for the service.
    Settings(newKey, nullptr);
    ASSERT_EQ(Init(), 0u);
    EXPECT_EQ(Open(sealed), "moves with its store");
    QintFinalizeEx();
    const auto slots = Slots();
    ASSERT_EQ(slots.size(), 3u);
    EXPECT_EQ(slots[0].status, QINT_ERR_NO_SLOT_OPENS) << "the old host's slot";
    EXPECT_EQ(slots[1].status, QINT_ERR_NO_PASSPHRASE);
    EXPECT_EQ(slots[2].status, 0u);

    // The last slot that opens here stays; the others may go.
    EXPECT_EQ(QintAdminRemoveSlotEx(&names_, 3, nullptr), QINT_ERR_LAST_SLOT);
    EXPECT_EQ(QintAdminRemoveSlotEx(&names_, 9, nullptr), QINT_ERR_NO_SUCH_SLOT);
    EXPECT_EQ(QintAdminRemoveSlotEx(&names_, 1, nullptr), 0u);
    ASSERT_EQ(Init(), 0u);
    EXPECT_EQ(Open(sealed), "moves with its store");
}

TEST_F(ProtectTest, AFormatOneStoreLoadsSaysSoOnceAndMigratesKeepingEveryCipherText)
{
    const std::string fixtures = ZORVA_KEYSTORE_FIXTURES "/format1/";
    const Bytes old = ReadBytes(fixtures + "zorvm_store.dat");
    ASSERT_EQ(old.size(), 68u + 38u * 80u + 32u);
    WriteBytes(primary_, old);
    WriteBytes(standby_, old);
    const Bytes key1 = ReadBytes(fixtures + "cipher_key1.bin");
    const Bytes key2 = ReadBytes(fixtures + "cipher_key2.bin");
    const Bytes mac = ReadBytes(fixtures + "hmac_key2.bin");
    const std::string macText = "mac me";
    auto verified = [&] {
        return MurVerifyHmacEx(9, reinterpret_cast<const unsigned char *>(macText.data()),
                               static_cast<uint32_t>(macText.size()), mac.data(), static_cast<uint32_t>(mac.size()));
    };

    ASSERT_EQ(Init(), 0u);
    EXPECT_EQ(Open(key1), "sealed under key 1");
    EXPECT_EQ(Open(key2), "sealed under key 2");
    EXPECT_EQ(verified(), 0u);
    ASSERT_EQ(QintResetEx(), 0u);
    QintFinalizeEx();
    ASSERT_EQ(Init(), 0u);
    QintFinalizeEx();
    int notices = 0;
    for (const std::string &line : Capture::Get().lines) {
        notices += line.rfind("2,ZORV,", 0) == 0 && line.find("'zorvm_keytool migrate --protect host'") !=
                                                        std::string::npos;
    }
    EXPECT_EQ(notices, 1) << "once per process, at failure level";
    const auto slots = Slots();
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0].type, QINT_PROTECT_BUILTIN);

    // Read-only: nothing but the migration writes it.
    EXPECT_EQ(QintAdminRotateEx(&names_, 9, nullptr), QINT_ERR_BUILTIN_ONLY);
    EXPECT_EQ(QintAdminAddSlotEx(&names_, QINT_PROTECT_HOST, nullptr, nullptr), QINT_ERR_BUILTIN_ONLY);
    EXPECT_EQ(ReadBytes(primary_), old);

    ASSERT_EQ(QintAdminMigrateEx(&names_, QINT_PROTECT_HOST, 0, nullptr), 0u);
    const Bytes migrated = ReadBytes(primary_);
    ASSERT_GT(migrated.size(), 6u);
    EXPECT_EQ(migrated[4], 3) << "format 3";
    EXPECT_FALSE(std::equal(old.begin() + 32, old.begin() + 64, migrated.begin() + 32)) << "a new salt";
    ASSERT_EQ(Init(), 0u);
    EXPECT_EQ(Open(key1), "sealed under key 1");
    EXPECT_EQ(Open(key2), "sealed under key 2");
    EXPECT_EQ(verified(), 0u);
    QintFinalizeEx();
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);

    // Without the host key file the migrated store is closed.
    ASSERT_EQ(::unlink(hostKey_.c_str()), 0);
    EXPECT_EQ(Init(), QINT_ERR_HOST_KEY_MISSING);
}

} // namespace
