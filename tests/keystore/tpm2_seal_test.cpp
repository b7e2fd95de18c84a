// Sealing to a TPM 2.0, against throw-away software TPMs: a sealed secret
// opens only on the TPM that sealed it, only while the bound PCRs keep their
// values, and every way of not opening is told apart.
#include <gtest/gtest.h>

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "console_capture.h"
#include "protect/tpm2/tpm2_seal.h"
#include "swtpm_instance.h"

namespace {

using zorv::tpm2::Seal;
using zorv::tpm2::Status;
using zorv::tpm2::Unseal;
using Secret = std::array<std::uint8_t, 32>;

Secret RandomSecret()
{
    Secret s{};
    EXPECT_EQ(RAND_bytes(s.data(), static_cast<int>(s.size())), 1);
    return s;
}

Status Open(const std::vector<std::uint8_t> &blob, Secret &out) { return Unseal(blob, out); }

bool AllZero(const Secret &s)
{
    return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// Success and refusal alike leave no object or session in the TPM, whose
// few slots would otherwise fill up within a handful of calls.
void ExpectNothingLeftLoaded(const zorva_test::Swtpm &tpm)
{
    std::string why;
    EXPECT_EQ(zorva_test::LoadedHandles(tpm.Tcti(), why), 0) << why;
}

#define REQUIRE_SWTPM(tpm)                                                                                             \
    if (!zorva_test::SwtpmInstalled()) {                                                                               \
        GTEST_SKIP() << "swtpm is not installed";                                                                      \
    }                                                                                                                  \
    ASSERT_TRUE((tpm).Ready()) << (tpm).Error()

TEST(Tpm2Seal, SecretOpensOnTheTpmThatSealedItAndNowhereElse)
{
    zorva_test::Swtpm home;
    REQUIRE_SWTPM(home);
    const Secret secret = RandomSecret();
    std::vector<std::uint8_t> blob;
    Secret opened{};
    {
        zorva_test::ScopedTcti use(home.Tcti());
        ASSERT_EQ(Seal(secret, 0, blob), Status::ok);
        EXPECT_EQ(std::search(blob.begin(), blob.end(), secret.begin(), secret.end()), blob.end())
            << "the blob carries the secret in the clear";
        ASSERT_EQ(Open(blob, opened), Status::ok);
        EXPECT_EQ(opened, secret);

        // Damage outside the TPM's parts is caught by the parser; inside the
        // private part by the TPM's integrity check.
        const std::vector<std::uint8_t> cut(blob.begin(), blob.end() - 1);
        auto longer = blob;
        longer.push_back(0);
        auto otherVersion = blob;
        otherVersion[0] = 2;
        auto claimsPcrs = blob;
        claimsPcrs[1] = 0x80;
        for (const auto &bad : {cut, longer, otherVersion, claimsPcrs}) {
            opened.fill(0xEE);
            EXPECT_EQ(Open(bad, opened), Status::badBlob);
            EXPECT_TRUE(AllZero(opened));
        }
        auto flipped = blob;
        flipped[flipped.size() - 1] ^= 1;
        EXPECT_EQ(Open(flipped, opened), Status::notThisTpm);
        ExpectNothingLeftLoaded(home);
    }

    zorva_test::Swtpm stranger;
    ASSERT_TRUE(stranger.Ready()) << stranger.Error();
    zorva_test::ScopedTcti use(stranger.Tcti());
    opened.fill(0xEE);
    EXPECT_EQ(Open(blob, opened), Status::notThisTpm);
    EXPECT_TRUE(AllZero(opened));
    ExpectNothingLeftLoaded(stranger);
}

TEST(Tpm2Seal, PcrBoundSecretOpensUntilABoundPcrIsExtended)
{
    zorva_test::Swtpm tpm;
    REQUIRE_SWTPM(tpm);
    zorva_test::ScopedTcti use(tpm.Tcti());
    const Secret secret = RandomSecret();
    std::vector<std::uint8_t> blob;
    // PCR 16 sits in the third byte of the selection.
    ASSERT_EQ(Seal(secret, (1u << 7) | (1u << 16), blob), Status::ok);
    Secret opened{};
    ASSERT_EQ(Open(blob, opened), Status::ok);
    EXPECT_EQ(opened, secret);

    // Clearing the recorded binding does not turn it into a plain object.
    auto unbound = blob;
    std::fill_n(unbound.begin() + 1, 4, std::uint8_t{0});
    EXPECT_EQ(Open(unbound, opened), Status::badBlob);

    std::string why;
    ASSERT_TRUE(zorva_test::ExtendPcr(tpm.Tcti(), 8, why)) << why;
    ASSERT_EQ(Open(blob, opened), Status::ok) << "a PCR outside the binding changed nothing";
    ASSERT_TRUE(zorva_test::ExtendPcr(tpm.Tcti(), 16, why)) << why;
    opened.fill(0xEE);
    EXPECT_EQ(Open(blob, opened), Status::pcrChanged);
    EXPECT_TRUE(AllZero(opened));

    // Sealing again binds to the new values.
    ASSERT_EQ(Seal(secret, 1u << 16, blob), Status::ok);
    EXPECT_EQ(Open(blob, opened), Status::ok);
    ExpectNothingLeftLoaded(tpm);
}

TEST(Tpm2Seal, UnreachableTpmIsNoTpmAndSaysNothingOnTheConsole)
{
    zorva_test::Swtpm tpm;
    REQUIRE_SWTPM(tpm);
    std::vector<std::uint8_t> blob;
    {
        zorva_test::ScopedTcti use(tpm.Tcti());
        ASSERT_EQ(Seal(RandomSecret(), 0, blob), Status::ok);
    }
    tpm.Stop();
    // Results are checked after the capture, so a failure report is not
    // swallowed by it.
    const std::array<std::string, 2> transports{tpm.Tcti(), "device:/nonexistent/tpmrm0"};
    std::vector<Status> results;
    std::vector<std::uint8_t> none{1};
    const Captured console = CaptureConsole([&] {
        for (const auto &tcti : transports) {
            zorva_test::ScopedTcti use(tcti);
            Secret opened{};
            results.push_back(Open(blob, opened));
            results.push_back(Seal(RandomSecret(), 0, none));
        }
    });
    EXPECT_EQ(results, std::vector<Status>(4, Status::noTpm));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "");
}

} // namespace
