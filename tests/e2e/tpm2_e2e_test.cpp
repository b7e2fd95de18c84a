// A key store protected by a TPM 2.0 slot, end to end: zorvm_keytool makes it
// against a throw-away swtpm, the tool and the daemon open it there, and a
// second, fresh swtpm (another machine's TPM) does not open it. Runs inside a
// private mount namespace (tests/isolated.sh), as the store lives in /etc.
#include "processes.h"
#include "swtpm_instance.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace e2e;

// Every program run here inherits ZORVA_TPM2_TCTI from the test.

std::string CipherOf(const std::string &secret)
{
    const Outcome o = Encrypt(secret);
    EXPECT_EQ(o.status, 0) << o.err;
    return o.out.rfind("cipher_text:", 0) == 0 ? o.out.substr(12) : std::string();
}

std::string Ask(const std::string &name, const std::string &cipher) { return Talk(name, Frame(cipher)).response; }

// A P-256 signer as openssl genpkey makes it: path (private) and path.pub.
void WriteSigner(const std::string &path)
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    for (const bool privateKey : {true, false}) {
        BIO *bio = BIO_new_file((path + (privateKey ? "" : ".pub")).c_str(), "w");
        EXPECT_EQ(privateKey ? PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr)
                             : PEM_write_bio_PUBKEY(bio, key),
                  1);
        BIO_free(bio);
    }
    EVP_PKEY_free(key);
}

// What the helper's extend does to a PCR: SHA-256(old || 32 bytes of 0x5A).
using Pcr = std::array<unsigned char, 32>;
Pcr Extended(const Pcr &old)
{
    unsigned char in[64];
    std::memcpy(in, old.data(), 32);
    std::memset(in + 32, 0x5A, 32);
    Pcr out{};
    EVP_Digest(in, sizeof in, out.data(), nullptr, EVP_sha256(), nullptr);
    return out;
}

std::string Hex(const Pcr &value)
{
    std::string out;
    for (unsigned char b : value) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

bool Has(const Outcome &o, const std::string &text) { return (o.out + o.err).find(text) != std::string::npos; }

class Tpm2Store : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Isolated()) {
            GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)";
        }
        if (!zorva_test::SwtpmInstalled()) {
            GTEST_SKIP() << "swtpm is not installed";
        }
        ASSERT_TRUE(home_.Ready()) << home_.Error();
        unlink(kPrimary.c_str());
        unlink(kStandby.c_str());
    }

    zorva_test::Swtpm home_;
};

TEST_F(Tpm2Store, ServesThroughTheDaemonAcrossRotationsAndOpensOnNoOtherTpm)
{
    const std::string name = "zorva-e2e-tpm2-" + std::to_string(getpid());
    std::string before, after;
    {
        zorva_test::ScopedTcti use(home_.Tcti());
        const Outcome created = Keytool("create", {"--protect", "tpm2"});
        ASSERT_EQ(created.status, 0) << created.out << created.err;
        const Outcome listed = Keytool("protect", {"list"});
        EXPECT_EQ(listed.status, 0) << listed.err;
        EXPECT_NE(listed.out.find("tpm2"), std::string::npos) << listed.out;

        before = CipherOf("sealed in the tpm");
        Daemon daemon("@" + name);
        ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
        EXPECT_EQ(Ask(name, before), Response("sealed in the tpm"));

        const Outcome rotated = Keytool("rotate", {"--all"});
        ASSERT_EQ(rotated.status, 0) << rotated.out << rotated.err;
        after = CipherOf("sealed in the tpm");
        EXPECT_NE(before, after);
        EXPECT_EQ(Ask(name, before), Response("sealed in the tpm"));
        EXPECT_EQ(Ask(name, after), Response("sealed in the tpm"));
        EXPECT_EQ(Keytool("verify").status, 0);

        std::string why;
        EXPECT_EQ(zorva_test::LoadedHandles(home_.Tcti(), why), 0) << "the daemon left objects in the TPM " << why;
    }

    // The same files on a machine with another TPM.
    zorva_test::Swtpm stranger;
    ASSERT_TRUE(stranger.Ready()) << stranger.Error();
    zorva_test::ScopedTcti use(stranger.Tcti());
    const Outcome verified = Keytool("verify");
    EXPECT_NE(verified.status, 0);
    EXPECT_NE((verified.out + verified.err).find("does not unseal on this TPM"), std::string::npos)
        << verified.out << verified.err;
    EXPECT_NE(Encrypt("anything").status, 0);
    Daemon daemon("@" + name + "-other");
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
    EXPECT_EQ(Ask(name + "-other", before), "");
}

TEST_F(Tpm2Store, PcrBoundSlotRefusesOnceABoundPcrIsExtended)
{
    zorva_test::ScopedTcti use(home_.Tcti());
    const Outcome created = Keytool("create", {"--protect", "tpm2", "--tpm2-pcrs", "16"});
    ASSERT_EQ(created.status, 0) << created.out << created.err;
    ASSERT_EQ(Keytool("verify").status, 0);
    const std::string cipher = CipherOf("bound to pcr 16");
    ASSERT_FALSE(cipher.empty());

    std::string why;
    ASSERT_TRUE(zorva_test::ExtendPcr(home_.Tcti(), 16, why)) << why;
    const Outcome verified = Keytool("verify");
    EXPECT_NE(verified.status, 0);
    EXPECT_NE((verified.out + verified.err).find("PCR values"), std::string::npos) << verified.out << verified.err;
    const Outcome refused = Encrypt("anything");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("]Cause: key store not loaded: the PCR values"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("(tpm2 slot 1: PCR 16 differ from the values it was sealed to)"), std::string::npos)
        << refused.err;
}

// The update procedure: a slot sealed to a signer opens through the policy
// installed for today's values, then through one signed beforehand for the
// values an update leaves, and again once a policy for new values is
// installed, without the store being written; nothing else opens it.
TEST_F(Tpm2Store, SignedPolicySlotSurvivesPcrChangesThroughNewlySignedPolicies)
{
    zorva_test::ScopedTcti use(home_.Tcti());
    char folder[] = "/tmp/zorva-signers-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder, signer = dir + "/signer.pem", stranger = dir + "/stranger.pem";
    WriteSigner(signer);
    WriteSigner(stranger);
    auto sign = [&](const std::string &key, const std::string &pcrs, std::vector<std::string> values) {
        const std::string out = dir + "/p" + std::to_string(std::rand());
        std::vector<std::string> args{"sign", "--signer", key, "--pcrs", pcrs, "--out", out};
        args.insert(args.end(), values.begin(), values.end());
        const Outcome signedIt = Keytool("tpm2-policy", args);
        EXPECT_EQ(signedIt.status, 0) << signedIt.err;
        const Outcome installed = Keytool("tpm2-policy", {"install", out});
        EXPECT_EQ(installed.status, 0) << installed.err;
        return signedIt.out.substr(signedIt.out.find("policy ") + 7, 16); // its id
    };

    const std::string today = sign(signer, "16", {"--current"});
    const Outcome created =
        Keytool("create", {"--protect", "tpm2", "--tpm2-pcrs", "16", "--tpm2-signer", signer + ".pub"});
    ASSERT_EQ(created.status, 0) << created.out << created.err;
    const std::string cipher = CipherOf("survives updates");
    ASSERT_FALSE(cipher.empty());
    const std::string stored = ReadFile(kPrimary);

    // Before the update: a policy for the value it will leave (PCR 16 starts at zero).
    const Pcr next = Extended(Pcr{});
    std::ofstream(dir + "/next.pcrs") << "# after the update\n16 " << Hex(next) << "\n";
    const std::string predicted = sign(signer, "16", {"--values", dir + "/next.pcrs"});
    std::string why;
    ASSERT_TRUE(zorva_test::ExtendPcr(home_.Tcti(), 16, why)) << why;
    Outcome verified = Keytool("verify");
    EXPECT_EQ(verified.status, 0) << verified.err;

    // An update nobody signed for: the slot says which PCR changed.
    ASSERT_TRUE(zorva_test::ExtendPcr(home_.Tcti(), 16, why)) << why;
    verified = Keytool("verify");
    EXPECT_NE(verified.status, 0);
    EXPECT_TRUE(Has(verified, "have changed (PCR 16)")) << verified.out << verified.err;
    const Outcome refused = Encrypt("anything");
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(Has(refused, "(tpm2 slot 1: PCR 16 differ from the closest installed signed policy, " + predicted))
        << refused.err;
    // A service that could not open the store tries again once a policy is installed.
    const std::string name = "zorva-e2e-signed-" + std::to_string(getpid());
    Daemon daemon("@" + name);
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
    EXPECT_EQ(Ask(name, cipher), "");
    // The new values, read here and signed (elsewhere, as it may be).
    const Outcome read = Keytool("tpm2-policy", {"values", "--pcrs", "16"});
    EXPECT_TRUE(Has(read, "16 " + Hex(Extended(next)))) << read.out << read.err;
    std::ofstream(dir + "/read.pcrs") << read.out;
    const std::string after = sign(signer, "16", {"--values", dir + "/read.pcrs"});
    EXPECT_EQ(Ask(name, cipher), Response("survives updates"));
    EXPECT_EQ(Keytool("verify").status, 0);
    EXPECT_EQ(ReadFile(kPrimary), stored) << "the store was not rewritten";
    for (const std::string &old : {today, predicted}) {
        EXPECT_EQ(Keytool("tpm2-policy", {"remove", old}).status, 0);
    }

    // Policies of another signer, or for other PCRs, do not open it.
    sign(stranger, "16", {"--current"});
    sign(signer, "16,23", {"--current"});
    EXPECT_EQ(Keytool("tpm2-policy", {"remove", after}).status, 0);
    const Outcome listed = Keytool("protect", {"list"});
    EXPECT_NE(listed.status, 0);
    EXPECT_TRUE(Has(listed, "no signed PCR policy by the slot's signer")) << listed.out << listed.err;
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

} // namespace
