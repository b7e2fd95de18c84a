// Sealing to a TPM 2.0, against throw-away software TPMs: a sealed secret
// opens only on the TPM that sealed it, only while the bound PCRs keep their
// values, and every way of not opening is told apart.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
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

    // Clearing the recorded binding does not turn it into a plain object,
    // nor do other recorded values pass for the sealed ones.
    auto unbound = blob;
    std::fill_n(unbound.begin() + 1, 4, std::uint8_t{0});
    EXPECT_EQ(Open(unbound, opened), Status::badBlob);
    auto otherValues = blob;
    otherValues[6] ^= 1;
    EXPECT_EQ(Open(otherValues, opened), Status::badBlob);
    // The form of blobs sealed before the values were recorded still opens.
    constexpr std::size_t kRecorded = 1 + 2 * 32; // the policy kind and two values
    std::vector<std::uint8_t> older(blob.size() - kRecorded);
    std::copy_n(blob.begin(), 5, older.begin());
    std::copy(blob.begin() + 5 + kRecorded, blob.end(), older.begin() + 5);
    older[0] = 1;
    ASSERT_EQ(Open(older, opened), Status::ok);

    std::string why;
    ASSERT_TRUE(zorva_test::ExtendPcr(tpm.Tcti(), 8, why)) << why;
    ASSERT_EQ(Open(blob, opened), Status::ok) << "a PCR outside the binding changed nothing";
    ASSERT_TRUE(zorva_test::ExtendPcr(tpm.Tcti(), 16, why)) << why;
    opened.fill(0xEE);
    zorv::tpm2::UnsealReport report;
    EXPECT_EQ(Unseal(blob, {}, opened, report), Status::pcrChanged);
    EXPECT_EQ(report.changedPcrs, 1u << 16) << "PCR 7 kept its value";
    EXPECT_TRUE(AllZero(opened));
    EXPECT_EQ(Unseal(older, {}, opened, report), Status::pcrChanged);
    EXPECT_EQ(report.changedPcrs, 0u) << "no values recorded to compare";

    // Sealing again binds to the new values.
    ASSERT_EQ(Seal(secret, 1u << 16, blob), Status::ok);
    EXPECT_EQ(Open(blob, opened), Status::ok);
    ExpectNothingLeftLoaded(tpm);
}

// Signer keys as openssl genpkey makes them: a P-256 key made here, and an
// RSA-3072 key from the fixtures.
std::vector<std::uint8_t> EccSignerPem()
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    BIO *bio = BIO_new(BIO_s_mem());
    EXPECT_EQ(PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::vector<std::uint8_t> pem(data, data + n);
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

std::vector<std::uint8_t> FixtureSignerPem()
{
    std::ifstream in(ZORVA_KEYSTORE_FIXTURES "/signer-rsa3072.pem", std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

zorv::SignedPcrPolicy PolicyFor(const std::vector<std::uint8_t> &key, std::uint32_t mask,
                                const zorv::PcrValues &values)
{
    zorv::SignedPcrPolicy p;
    std::string why;
    EXPECT_TRUE(zorv::SignPolicy(key, mask, values, p, why)) << why;
    return p;
}

TEST(Tpm2Seal, SignedSecretOpensOnlyThroughAMatchingPolicyOfItsSigner)
{
    zorva_test::Swtpm tpm;
    REQUIRE_SWTPM(tpm);
    zorva_test::ScopedTcti use(tpm.Tcti());
    const auto rsa = FixtureSignerPem();
    const auto ecc = EccSignerPem();
    TPMT_PUBLIC signer{};
    std::string why;
    ASSERT_TRUE(zorv::SignerFromPem(rsa, true, signer, why)) << why;
    constexpr std::uint32_t kPcr16 = 1u << 16;
    const Secret secret = RandomSecret();
    std::vector<std::uint8_t> blob;
    ASSERT_EQ(zorv::tpm2::SealSigned(secret, kPcr16, signer, blob), Status::ok);

    zorv::PcrValues now{};
    ASSERT_EQ(zorv::tpm2::ReadPcrs(kPcr16, now), Status::ok);
    zorv::PcrValues other = now;
    other[16][0] ^= 1;
    // The signature of a policy for other values, moved onto the current ones.
    zorv::SignedPcrPolicy forged = PolicyFor(rsa, kPcr16, other);
    forged.values = now;
    std::vector<zorv::SignedPcrPolicy> policies{PolicyFor(ecc, kPcr16, now), PolicyFor(rsa, kPcr16 | 1u << 23, now)};
    Secret opened{};
    zorv::tpm2::UnsealReport report;
    EXPECT_EQ(Unseal(blob, policies, opened, report), Status::noPolicy) << "another signer, other PCRs";
    policies.push_back(PolicyFor(rsa, kPcr16, other));
    EXPECT_EQ(Unseal(blob, policies, opened, report), Status::pcrChanged);
    EXPECT_EQ(report.changedPcrs, kPcr16);
    EXPECT_EQ(report.policy, &policies.back());
    policies.push_back(forged);
    EXPECT_EQ(Unseal(blob, policies, opened, report), Status::policyRefused) << "the TPM checks the signature";
    EXPECT_TRUE(AllZero(opened));

    policies.push_back(PolicyFor(rsa, kPcr16, now));
    ASSERT_EQ(Unseal(blob, policies, opened, report), Status::ok);
    EXPECT_EQ(opened, secret);
    EXPECT_EQ(report.policy, &policies.back());
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
