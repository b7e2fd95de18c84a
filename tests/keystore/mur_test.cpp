// Encryption, decryption and HMACs with the loaded keys: layouts, refusal
// of bad input with distinct errors, and output buffers left alone.
#include "../bounded/guarded_buffer.h"
#include "keystore_support.h"
#include "mur.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using namespace kstest;

namespace {

const unsigned char *U(const char *s) { return reinterpret_cast<const unsigned char *>(s); }

class MurTest : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        ASSERT_EQ(QintInitializeEx(0, &names_, 0, nullptr), 0u);
    }

    std::vector<unsigned char> Seal(uint32_t domain, const std::vector<unsigned char> &plain)
    {
        std::vector<unsigned char> c(plain.size() + MUR_CIPHER_OVERHEAD);
        uint32_t len = static_cast<uint32_t>(c.size());
        EXPECT_EQ(MurEncryptEx(domain, 9, plain.data(), static_cast<uint32_t>(plain.size()), c.data(), &len), 0u);
        EXPECT_EQ(len, c.size());
        return c;
    }
    uint64_t Open(uint32_t domain, const std::vector<unsigned char> &c, std::vector<unsigned char> *out = nullptr)
    {
        GuardedBuffer buf(c.size(), 0x00);
        uint32_t len = static_cast<uint32_t>(buf.size());
        const uint64_t rc = MurDecryptEx(domain, c.data(), static_cast<uint32_t>(c.size()), buf.data(), &len);
        EXPECT_TRUE(buf.GuardsIntact());
        if (rc != 0) {
            EXPECT_TRUE(buf.AllEqual(0x00)) << "nothing written on failure";
            EXPECT_EQ(len, c.size()) << "length untouched on failure";
        } else if (out != nullptr) {
            out->assign(buf.data(), buf.data() + len);
        }
        return rc;
    }
    std::vector<unsigned char> Mac(uint32_t domain, uint32_t alg, const char *data)
    {
        std::vector<unsigned char> h(MUR_HMAC_MAX_LEN);
        uint32_t len = static_cast<uint32_t>(h.size());
        EXPECT_EQ(MurHmacEx(domain, alg, U(data), static_cast<uint32_t>(std::strlen(data)), h.data(), &len), 0u);
        h.resize(len);
        return h;
    }
    uint64_t Check(uint32_t domain, const char *data, const std::vector<unsigned char> &h)
    {
        return MurVerifyHmacEx(domain, U(data), static_cast<uint32_t>(std::strlen(data)), h.data(),
                               static_cast<uint32_t>(h.size()));
    }
};

TEST_F(MurTest, RoundTripsEveryDomainAndSizeWithTheDocumentedLayout)
{
    uint32_t len = 0;
    EXPECT_EQ(MurGetCipherDataLenEx(32, &len), 0u);
    EXPECT_EQ(len, 72u);
    EXPECT_EQ(MurGetCipherDataLenEx(UINT32_MAX - 40, &len), 0u);
    EXPECT_EQ(MurGetCipherDataLenEx(UINT32_MAX - 39, &len), MUR_ERR_TOO_LONG);
    EXPECT_EQ(MurGetCipherDataLenEx(1, nullptr), MUR_ERR_BAD_ARGUMENT);

    for (uint32_t domain : {0u, 9u, 25u, 50u, 105u, 152u}) {
        for (std::size_t size : {0u, 1u, 32u, 960u, 2049u, 70000u}) {
            std::vector<unsigned char> plain(size);
            for (std::size_t i = 0; i < size; ++i) {
                plain[i] = static_cast<unsigned char>(i * 7 + domain);
            }
            const auto c = Seal(domain, plain);
            EXPECT_EQ(c[0], 1);
            EXPECT_EQ(c[1], 9);
            EXPECT_EQ(c[4] | c[5] << 8, static_cast<int>(domain));
            EXPECT_EQ(c[8], 1) << "key id 1";
            std::vector<unsigned char> back;
            ASSERT_EQ(Open(domain, c, &back), 0u);
            EXPECT_EQ(back, plain);
        }
    }
    // Fresh nonce every time.
    EXPECT_NE(Seal(9, {1, 2, 3}), Seal(9, {1, 2, 3}));
}

TEST_F(MurTest, EncryptRefusesBadArgumentsWithoutWritingBeyondTheBuffer)
{
    const char *text = "a secret of 23 bytes..";
    const uint32_t n = static_cast<uint32_t>(std::strlen(text));
    GuardedBuffer small(n + MUR_CIPHER_OVERHEAD - 1);
    uint32_t len = static_cast<uint32_t>(small.size());
    EXPECT_EQ(MurEncryptEx(9, 9, U(text), n, small.data(), &len), MUR_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, small.size());
    EXPECT_TRUE(small.AllEqual(0x5A));
    EXPECT_TRUE(small.GuardsIntact());

    GuardedBuffer exact(n + MUR_CIPHER_OVERHEAD);
    len = static_cast<uint32_t>(exact.size());
    EXPECT_EQ(MurEncryptEx(9, 8, U(text), n, exact.data(), &len), MUR_ERR_BAD_ALGORITHM);
    EXPECT_EQ(MurEncryptEx(26, 9, U(text), n, exact.data(), &len), MUR_ERR_UNKNOWN_DOMAIN);
    EXPECT_EQ(MurEncryptEx(9, 9, nullptr, n, exact.data(), &len), MUR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(MurEncryptEx(9, 9, U(text), n, nullptr, &len), MUR_ERR_BAD_ARGUMENT);
    EXPECT_EQ(MurEncryptEx(9, 9, U(text), n, exact.data(), nullptr), MUR_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(exact.AllEqual(0x5A));
    EXPECT_EQ(MurEncryptEx(9, 9, U(text), n, exact.data(), &len), 0u);
    EXPECT_EQ(len, exact.size());
    EXPECT_TRUE(exact.GuardsIntact());
}

TEST_F(MurTest, DecryptRefusesTamperedTruncatedForeignAndMalformedInput)
{
    const std::vector<unsigned char> plain = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
    const auto c = Seal(9, plain);

    // Any single changed byte is refused, header and body alike.
    for (std::size_t i = 0; i < c.size(); ++i) {
        auto bad = c;
        bad[i] ^= 0x01;
        const uint64_t rc = Open(9, bad);
        ASSERT_NE(rc, 0u) << "byte " << i;
        if (i >= 12) {
            ASSERT_EQ(rc, MUR_ERR_AUTH_FAILED) << "byte " << i;
        }
    }
    for (std::size_t n = 0; n < c.size(); ++n) {
        ASSERT_NE(Open(9, std::vector<unsigned char>(c.begin(), c.begin() + static_cast<long>(n))), 0u);
    }
    EXPECT_EQ(Open(9, std::vector<unsigned char>(c.begin(), c.begin() + 39)), MUR_ERR_MALFORMED);
    auto longer = c;
    longer.push_back(0);
    EXPECT_EQ(Open(9, longer), MUR_ERR_AUTH_FAILED);

    EXPECT_EQ(Open(10, c), MUR_ERR_WRONG_DOMAIN);
    auto moved = c; // relabelled for another domain: the header is authenticated
    moved[4] = 10;
    EXPECT_EQ(Open(10, moved), MUR_ERR_AUTH_FAILED);
    auto version = c;
    version[0] = 2;
    EXPECT_EQ(Open(9, version), MUR_ERR_MALFORMED);
    auto alg = c;
    alg[1] = 10;
    EXPECT_EQ(Open(9, alg), MUR_ERR_BAD_ALGORITHM);
    auto keyId = c;
    keyId[8] = 7;
    EXPECT_EQ(Open(9, keyId), MUR_ERR_UNKNOWN_KEY_ID);

    // Too small a plain buffer: refused, nothing written.
    GuardedBuffer small(plain.size() - 1, 0x00);
    uint32_t len = static_cast<uint32_t>(small.size());
    EXPECT_EQ(MurDecryptEx(9, c.data(), static_cast<uint32_t>(c.size()), small.data(), &len),
              MUR_ERR_BUFFER_TOO_SMALL);
    EXPECT_TRUE(small.AllEqual(0x00));
    EXPECT_TRUE(small.GuardsIntact());
    GuardedBuffer exact(plain.size(), 0x00);
    len = static_cast<uint32_t>(exact.size());
    EXPECT_EQ(MurDecryptEx(9, c.data(), static_cast<uint32_t>(c.size()), exact.data(), &len), 0u);
    EXPECT_TRUE(exact.GuardsIntact());
    EXPECT_EQ(MurDecryptEx(9, nullptr, 40, exact.data(), &len), MUR_ERR_BAD_ARGUMENT);
}

TEST_F(MurTest, HmacsVerifyAndRefuseTamperingTruncationAndOtherDomains)
{
    uint32_t max = 0;
    EXPECT_EQ(MurGetHmacLenEx(&max), 0u);
    EXPECT_EQ(max, 76u);
    const struct {
        uint32_t alg;
        std::size_t size;
    } algs[] = {{MUR_HMAC_SHA256, 44}, {MUR_HMAC_SHA384, 60}, {MUR_HMAC_SHA512, 76}};
    for (const auto &a : algs) {
        const auto h = Mac(9, a.alg, "data to protect");
        ASSERT_EQ(h.size(), a.size);
        EXPECT_EQ(Check(9, "data to protect", h), 0u);
        EXPECT_EQ(Check(9, "data to protecT", h), MUR_ERR_AUTH_FAILED);
        EXPECT_EQ(Check(10, "data to protect", h), MUR_ERR_WRONG_DOMAIN);
        for (std::size_t i = 0; i < h.size(); ++i) {
            auto bad = h;
            bad[i] ^= 0x20;
            ASSERT_NE(Check(9, "data to protect", bad), 0u) << "byte " << i;
        }
        for (std::size_t n = 0; n < h.size(); ++n) {
            ASSERT_NE(Check(9, "data to protect", std::vector<unsigned char>(h.begin(), h.begin() + static_cast<long>(n))),
                      0u);
        }
        auto relabel = h;
        relabel[4] = 10;
        EXPECT_EQ(Check(10, "data to protect", relabel), MUR_ERR_AUTH_FAILED);

        // The buffer must hold this algorithm's size; no write beyond it.
        GuardedBuffer small(a.size - 1);
        uint32_t len = static_cast<uint32_t>(small.size());
        EXPECT_EQ(MurHmacEx(9, a.alg, U("x"), 1, small.data(), &len), MUR_ERR_BUFFER_TOO_SMALL);
        EXPECT_TRUE(small.AllEqual(0x5A));
        EXPECT_TRUE(small.GuardsIntact());
    }
    std::vector<unsigned char> h(76);
    uint32_t len = 76;
    EXPECT_EQ(MurHmacEx(9, 2055, U("x"), 1, h.data(), &len), MUR_ERR_BAD_ALGORITHM);
    EXPECT_EQ(MurHmacEx(200, 2052, U("x"), 1, h.data(), &len), MUR_ERR_UNKNOWN_DOMAIN);
    auto sha256 = Mac(9, MUR_HMAC_SHA256, "d");
    sha256[2] = 0x07; // algorithm 2055
    EXPECT_EQ(Check(9, "d", sha256), MUR_ERR_BAD_ALGORITHM);
    EXPECT_EQ(Check(9, "d", {1, 0, 4}), MUR_ERR_MALFORMED);
    EXPECT_NE(Mac(9, MUR_HMAC_SHA256, "d"), Mac(8, MUR_HMAC_SHA256, "d"));
}

TEST_F(MurTest, RotationKeepsOldCipherTextsAndHmacsWorkingUntilPruned)
{
    const auto oldCipher = Seal(9, {'o', 'l', 'd'});
    const auto oldMac = Mac(9, MUR_HMAC_SHA384, "old");
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    ASSERT_EQ(QintAdminRotateEx(&names_, QINT_ALL_DOMAINS, nullptr), 0u);
    ASSERT_EQ(QintResetEx(), 0u);

    const auto newCipher = Seal(9, {'n', 'e', 'w'});
    EXPECT_EQ(newCipher[8], 3) << "domain 9 is at key id 3 after two rotations";
    EXPECT_EQ(Seal(0, {1})[8], 2);
    std::vector<unsigned char> back;
    EXPECT_EQ(Open(9, oldCipher, &back), 0u);
    EXPECT_EQ(back, (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(Check(9, "old", oldMac), 0u);
    EXPECT_EQ(Mac(9, MUR_HMAC_SHA384, "old")[8], 3);

    uint32_t removed = 0;
    ASSERT_EQ(QintAdminPruneEx(&names_, 1, &removed, nullptr), 0u);
    EXPECT_EQ(removed, 1u) << "only domain 9 had two retired keys";
    ASSERT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(Open(9, oldCipher), MUR_ERR_UNKNOWN_KEY_ID);
    EXPECT_EQ(Check(9, "old", oldMac), MUR_ERR_UNKNOWN_KEY_ID);
    EXPECT_EQ(Open(9, newCipher), 0u);
}

// A disabled key stays in the store but no call uses it; enabling it
// undoes that. Its removal goes all or none.
TEST_F(MurTest, ADisabledKeyIsRefusedByEveryCallUntilEnabledAndRemovalIsAllOrNone)
{
    const auto oldCipher = Seal(9, {'o', 'l', 'd'});
    const auto oldMac = Mac(9, MUR_HMAC_SHA256, "old");
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    uint32_t previous = 0;
    EXPECT_EQ(QintAdminSetKeyStateEx(&names_, 9, 2, QINT_KEY_DISABLED, &previous, nullptr), QINT_ERR_KEY_ACTIVE);
    EXPECT_EQ(QintAdminSetKeyStateEx(&names_, 9, 7, QINT_KEY_DISABLED, nullptr, nullptr), QINT_ERR_UNKNOWN_KEY_ID);
    ASSERT_EQ(QintAdminSetKeyStateEx(&names_, 9, 1, QINT_KEY_DISABLED, &previous, nullptr), 0u);
    EXPECT_EQ(previous, QINT_KEY_RETIRED);
    ASSERT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(Open(9, oldCipher), MUR_ERR_KEY_DISABLED);
    EXPECT_EQ(Check(9, "old", oldMac), MUR_ERR_KEY_DISABLED);
    EXPECT_EQ(Open(9, Seal(9, {'n'})), 0u) << "the active key serves on";

    std::vector<QintKeyDetail> keys(200);
    uint32_t count = 0;
    ASSERT_EQ(QintAdminKeyDetailsEx(&names_, keys.data(), 200, &count, nullptr), 0u);
    const auto one = std::find_if(keys.begin(), keys.end(), [](const QintKeyDetail &k) {
        return k.domain == 9 && k.keyId == 1;
    });
    ASSERT_NE(one, keys.end());
    EXPECT_EQ(one->state, QINT_KEY_DISABLED);
    EXPECT_GE(one->changed, one->created);

    const auto before = ReadBytes(primary_);
    const QintKeyId both[] = {{9, 1}, {9, 2}};
    uint32_t failed = 9;
    EXPECT_EQ(QintAdminRemoveKeysEx(&names_, both, 2, 0, &failed, nullptr), QINT_ERR_KEY_ACTIVE);
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(QintAdminRemoveKeysEx(&names_, both, 1, one->changed - 1, &failed, nullptr), QINT_ERR_KEY_STATE)
        << "disabled later than asked";
    EXPECT_EQ(ReadBytes(primary_), before) << "nothing written";

    ASSERT_EQ(QintAdminSetKeyStateEx(&names_, 9, 1, QINT_KEY_RETIRED, &previous, nullptr), 0u);
    ASSERT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(Open(9, oldCipher), 0u);
    EXPECT_EQ(QintAdminRemoveKeysEx(&names_, both, 1, 0, nullptr, nullptr), 0u);
    ASSERT_EQ(QintResetEx(), 0u);
    EXPECT_EQ(Open(9, oldCipher), MUR_ERR_UNKNOWN_KEY_ID);
}

// Nonces are handed out from per-thread batches: none may repeat across
// batches, threads, or a fork (where the child inherits the parent's batch).
TEST_F(MurTest, NoncesNeverRepeatAcrossBatchesThreadsAndFork)
{
    const auto nonceOf = [](const std::vector<unsigned char> &c) {
        return std::string(c.begin() + 12, c.begin() + 24);
    };
    std::set<std::string> seen;
    std::mutex seenLock;
    const auto drawMany = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string n = nonceOf(Seal(9, {7}));
            std::lock_guard<std::mutex> hold(seenLock);
            EXPECT_TRUE(seen.insert(n).second) << "nonce repeated";
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(drawMany, 1000);
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(seen.size(), 4000u);

    // Half-way through this thread's batch, fork: the child's nonces must not
    // be the ones the parent hands out next.
    drawMany(10);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        for (int i = 0; i < 8; ++i) {
            const std::string n = nonceOf(Seal(9, {7}));
            if (::write(pipeFds[1], n.data(), n.size()) != static_cast<ssize_t>(n.size())) {
                ::_exit(1);
            }
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::vector<std::string> parentNext;
    for (int i = 0; i < 8; ++i) {
        parentNext.push_back(nonceOf(Seal(9, {7})));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char buf[12];
    int got = 0;
    while (::read(pipeFds[0], buf, sizeof buf) == static_cast<ssize_t>(sizeof buf)) {
        const std::string n(buf, sizeof buf);
        EXPECT_EQ(std::count(parentNext.begin(), parentNext.end(), n), 0) << "child repeated a parent nonce";
        EXPECT_EQ(seen.count(n), 0u);
        ++got;
    }
    ::close(pipeFds[0]);
    EXPECT_EQ(got, 8);
}

TEST(MurUninitialised, EveryCallSaysSo)
{
    unsigned char buf[128];
    uint32_t len = sizeof buf;
    EXPECT_EQ(MurEncryptEx(9, 9, U("x"), 1, buf, &len), MUR_ERR_NOT_INITIALIZED);
    EXPECT_EQ(MurHmacEx(9, 2052, U("x"), 1, buf, &len), MUR_ERR_NOT_INITIALIZED);
}

} // namespace
