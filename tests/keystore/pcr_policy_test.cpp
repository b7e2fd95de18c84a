// The text forms an administrator hands the host: signed PCR policies and
// predicted PCR values are read strictly, and the only keys taken as
// signers are the ones the TPM is given.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <string>
#include <vector>

#include "trust/pcr_policy.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pem(const char *type, const char *parameter, bool privateKey)
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, type, parameter);
    BIO *bio = BIO_new(BIO_s_mem());
    EXPECT_EQ(privateKey ? PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr)
                         : PEM_write_bio_PUBKEY(bio, key),
              1);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    Bytes pem(data, data + n);
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    const auto at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(PcrPolicyText, PoliciesParseBackExactlyAndAnythingElseIsRefused)
{
    zorv::PcrValues values{};
    values[7].fill(0xAB);
    zorv::SignedPcrPolicy p;
    std::string why;
    ASSERT_TRUE(zorv::SignPolicy(Pem("EC", "P-256", true), (1u << 7) | (1u << 16), values, p, why)) << why;
    const std::string line = zorv::FormatPolicyLine(p);
    std::vector<zorv::SignedPcrPolicy> read;
    ASSERT_TRUE(zorv::ParsePolicies("# a comment\n\n" + line + "  # signed today\n", 4, read, why)) << why;
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(zorv::PolicyId(read[0]), zorv::PolicyId(p));
    EXPECT_EQ(read[0].signerName, p.signerName);

    const std::string pcrs = line.substr(line.find(" 7:") + 1, line.rfind(' ') - line.find(" 7:") - 1);
    const std::string sixteen = pcrs.substr(pcrs.find(",16:"));
    for (const std::string &bad : {
             Replace(line, "tpm2-pcr-policy", "tpm2-pcr-policy2"),
             line + " extra",
             Replace(line, pcrs, sixteen.substr(1) + "," + pcrs.substr(0, pcrs.find(','))), // not ascending
             Replace(line, "16:", "24:"),
             Replace(line, "7:", "07:"),
             Replace(line, sixteen, sixteen + ","),
             Replace(line, sixteen, sixteen.substr(0, sixteen.size() - 2)), // a short value
             Replace(line, " ", " @"),                                      // not Base64
             line.substr(0, line.size() - 4),                               // a cut signature
         }) {
        EXPECT_FALSE(zorv::ParsePolicies(bad, 4, read, why)) << bad;
        EXPECT_TRUE(read.empty());
    }
    EXPECT_FALSE(zorv::ParsePolicies(line + "\n" + line + "\n", 1, read, why)) << "more than the limit";
    EXPECT_FALSE(zorv::ParsePolicies("# nothing\n", 4, read, why));
}

TEST(PcrPolicyText, PredictedValuesNeedEveryPcrSignedForOnce)
{
    const std::string v7 = std::string(64, '7'), v16 = std::string(64, 'F');
    zorv::PcrValues values{};
    std::string why;
    ASSERT_TRUE(zorv::ParsePcrValues("# next boot\n7 " + v7 + "\n0 " + v16 + "\n16 " + v16 + "\n", (1u << 7) | (1u << 16),
                                     values, why))
        << why;
    EXPECT_EQ(values[7][0], 0x77);
    EXPECT_EQ(values[16][31], 0xFF);
    EXPECT_EQ(values[0][0], 0) << "a PCR not signed for is ignored";
    EXPECT_FALSE(zorv::ParsePcrValues("7 " + v7 + "\n7 " + v7 + "\n", 1u << 7, values, why)) << "twice";
    EXPECT_FALSE(zorv::ParsePcrValues("7 " + v7 + "\n", (1u << 7) | (1u << 16), values, why)) << "missing";
    EXPECT_NE(why.find("PCR 16"), std::string::npos) << why;
    EXPECT_FALSE(zorv::ParsePcrValues("7 " + v7.substr(1) + "\n", 1u << 7, values, why)) << "short";
    EXPECT_FALSE(zorv::ParsePcrValues("24 " + v7 + "\n", 1u << 7, values, why)) << "no PCR 24";
}

TEST(PcrPolicyText, SignersArePublicP256OrRsaKeysOnly)
{
    TPMT_PUBLIC key{};
    std::string why;
    EXPECT_TRUE(zorv::SignerFromPem(Pem("EC", "P-256", false), false, key, why)) << why;
    EXPECT_FALSE(zorv::SignerFromPem(Pem("EC", "P-256", true), false, key, why));
    EXPECT_NE(why.find("private key"), std::string::npos) << why;
    EXPECT_FALSE(zorv::SignerFromPem(Pem("EC", "P-384", false), false, key, why));
    EXPECT_FALSE(zorv::SignerFromPem(Pem("ED25519", nullptr, false), false, key, why));
}

} // namespace
