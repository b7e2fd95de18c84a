// Several threads encrypt, decrypt, compute and verify HMACs through the
// agent on the real key store while zorvm_keytool rotates every domain's key
// again and again: no operation may fail, every cipher text made before or
// during the rotations must still open, and the run must end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "keytool.h"
#include "log_recorder.h"
#include "temp_dir.h"
#include "zorva_main.h"

namespace zorva_test {
namespace {

constexpr int kThreads = 4;
constexpr int kRotations = 12;
constexpr uint32_t kDomains[] = {0, 9, 51, 152};

struct Sealed {
    uint32_t domain;
    std::string plain;
    std::string cipher;
};

bool Seal(uint32_t domain, const std::string &plain, std::string &cipher)
{
    char *out = nullptr;
    uint32_t outLen = 0;
    if (ZORVA_Encrypt(domain, plain.data(), static_cast<uint32_t>(plain.size()), &out, &outLen) != 0) {
        return false;
    }
    cipher.assign(out);
    ZORVA_MemClearFree(out, outLen);
    return true;
}

bool Opens(const Sealed &s)
{
    char *out = nullptr;
    uint32_t outLen = 0;
    if (ZORVA_Decrypt(s.domain, s.cipher.c_str(), static_cast<uint32_t>(s.cipher.size()), &out, &outLen) != 0) {
        return false;
    }
    const bool same = std::string(out, outLen) == s.plain;
    ZORVA_MemClearFree(out, outLen);
    return same;
}

bool HmacRoundTrip(uint32_t domain, uint32_t alg, const std::string &data)
{
    const ZorvaParms parms{domain, alg};
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    char *text = nullptr;
    uint32_t textLen = 0;
    if (ZORVA_CalcHmac(&parms, bytes, static_cast<uint32_t>(data.size()), &text, &textLen) != 0) {
        return false;
    }
    const bool ok = ZORVA_VerifyHmac(&parms, bytes, static_cast<uint32_t>(data.size()), text, textLen) == 0;
    ZORVA_MemClearFree(text, textLen);
    return ok;
}

TEST(RealRotation, OperationsNeverFailWhileTheStoreIsRotated)
{
    TempDir dir;
    const std::string primary = dir / "primary.dat";
    const std::string standby = dir / "standby.dat";
    ASSERT_EQ(CreateStore(primary, standby), 0);
    ASSERT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_OK);

    // Made before any rotation: must open to the end.
    Sealed before{9, "made before the first rotation", {}};
    ASSERT_TRUE(Seal(before.domain, before.plain, before.cipher));

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::vector<Sealed>> made(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                const uint32_t domain = kDomains[(t + i) % std::size(kDomains)];
                Sealed s{domain, "secret " + std::to_string(t) + "/" + std::to_string(i), {}};
                const bool ok = Seal(domain, s.plain, s.cipher) && Opens(s) && Opens(before) &&
                                HmacRoundTrip(domain, static_cast<uint32_t>(i % 3), s.plain);
                if (!ok) {
                    failures.fetch_add(1);
                } else if (i % 16 == 0) {
                    made[t].push_back(std::move(s));
                }
            }
        });
    }

    int rotated = 0;
    for (int r = 0; r < kRotations; ++r) {
        rotated += RunKeytool("rotate --all --primary '" + primary + "' --standby '" + standby + "'") == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    for (std::thread &w : workers) {
        w.join();
    }

    EXPECT_EQ(rotated, kRotations);
    EXPECT_EQ(failures.load(), 0);
    // The rotations were noticed: the store was reloaded in place, more than once.
    EXPECT_GT(RecorderA().WithFormat("Reload key file done, ret (%lu).").size(), 1u);
    size_t checked = 0;
    for (const auto &list : made) {
        for (const Sealed &s : list) {
            EXPECT_TRUE(Opens(s)) << s.plain;
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
    EXPECT_TRUE(Opens(before));
    EXPECT_EQ(ZORVA_Finalize(), RET_OK);
}

// Key id in the header of a cipher text (little-endian at byte 8), 0 when
// the text does not decode.
uint32_t KeyIdOf(const std::string &cipher)
{
    unsigned char *bytes = nullptr;
    uint32_t len = 0;
    if (ZORVA_Base64Decode(cipher.c_str(), static_cast<uint32_t>(cipher.size()), &bytes, &len) != 0) {
        return 0;
    }
    const uint32_t id = len >= 12 ? bytes[8] | bytes[9] << 8 | bytes[10] << 16 | static_cast<uint32_t>(bytes[11]) << 24 : 0;
    ZORVA_MemClearFree(bytes, len);
    return id;
}

TEST(RealRotation, EachOfTwoRotationsWithinOneSecondIsPickedUp)
{
    TempDir dir;
    const std::string primary = dir / "primary.dat";
    const std::string standby = dir / "standby.dat";
    const std::string paths = " --primary '" + primary + "' --standby '" + standby + "'";
    ASSERT_EQ(CreateStore(primary, standby), 0);
    ASSERT_EQ(ZORVA_Init(LogToA, primary.c_str(), standby.c_str()), RET_OK);
    std::string cipher;
    ASSERT_TRUE(Seal(9, "first", cipher));
    EXPECT_EQ(KeyIdOf(cipher), 1u);

    // Start just after a second begins so that both rotations and the
    // encryptions after them share that second.
    for (int tries = 0; tries < 3; ++tries) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1));
        const time_t second = time(nullptr);
        const uint32_t before = KeyIdOf(cipher);
        ASSERT_EQ(RunKeytool("rotate --domain 9" + paths), 0);
        ASSERT_TRUE(Seal(9, "after one rotation", cipher));
        const uint32_t afterOne = KeyIdOf(cipher);
        ASSERT_EQ(RunKeytool("rotate --domain 9" + paths), 0);
        ASSERT_TRUE(Seal(9, "after two rotations", cipher));
        const uint32_t afterTwo = KeyIdOf(cipher);
        EXPECT_EQ(afterOne, before + 1);
        EXPECT_EQ(afterTwo, before + 2);
        if (time(nullptr) == second) {
            break; // the case under test happened
        }
    }
    EXPECT_EQ(ZORVA_Finalize(), RET_OK);
}

} // namespace
} // namespace zorva_test
