// A key store protected by a TPM 2.0 slot, end to end: zorvm_keytool makes it
// against a throw-away swtpm, the tool and the daemon open it there, and a
// second, fresh swtpm (another machine's TPM) does not open it. Runs inside a
// private mount namespace (tests/isolated.sh), as the store lives in /etc.
#include "processes.h"
#include "swtpm_instance.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
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
}

} // namespace
