// A core image of a serving daemon, taken with gcore after several requests,
// holds none of the store file's key material and not the host key: the
// store bytes live only in wiping buffers, and the host key is read, used
// and wiped for every load. Runs under tests/isolated.sh (a private /etc).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "processes.h"

namespace {

using namespace e2e;

const std::string kPrimary = "/etc/zorvm_primary_file.dat";
const std::string kStandby = "/etc/zorvm_standby_file.dat";
const std::string kHostKey = "/etc/zorvm_host.key";

std::uint32_t Le32(const std::string &b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

// The random parts of a format-2 store file, 32 bytes each: the salt, each
// slot's sealed root key, each entry's wrapped key, the MAC.
std::vector<std::string> SecretPieces(const std::string &file)
{
    std::vector<std::string> pieces{file.substr(32, 32)};
    std::size_t at = 72;
    for (unsigned slots = static_cast<unsigned char>(file.at(68)); slots > 0; --slots) {
        const std::size_t params = static_cast<unsigned char>(file.at(at + 2)) |
                                   static_cast<std::size_t>(static_cast<unsigned char>(file.at(at + 3))) << 8;
        pieces.push_back(file.substr(at + 4 + params + 12, 32));
        at += 4 + params + 12 + 32 + 16;
    }
    for (std::uint32_t i = 0, n = Le32(file, 64); i < n; ++i, at += 80) {
        pieces.push_back(file.substr(at + 32, 32));
    }
    pieces.push_back(file.substr(file.size() - 32));
    return pieces;
}

TEST(CoreImage, AServingDaemonHoldsNeitherTheStoreFilesKeysNorTheHostKey)
{
    if (!Isolated()) {
        GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)";
    }
    const std::string gcore = RunProgram({"/bin/sh", "-c", "command -v gcore"}).out;
    if (gcore.empty()) {
        GTEST_SKIP() << "gcore (gdb) is not installed";
    }
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizer runtimes keep freed memory on purpose";
    }
    unlink(kPrimary.c_str());
    unlink(kStandby.c_str());
    unlink(kHostKey.c_str());
    const Outcome created = RunProgram({BinPath("zorvm_keytool"), "create"});
    ASSERT_EQ(created.status, 0) << created.err;
    const Outcome rotated = RunProgram({BinPath("zorvm_keytool"), "rotate", "--domain", "9"});
    ASSERT_EQ(rotated.status, 0) << rotated.err;
    const Outcome sealed = RunProgram({BinPath("encrypt_tool"), "encrpyt", "CORE_SECRET"},
                                      WithEnv({{"CORE_SECRET", "kept out of core images"}}));
    ASSERT_EQ(sealed.status, 0) << sealed.err;
    const std::string cipher = sealed.out.substr(std::string("cipher_text:").size());

    const std::string name = "zorva-core-" + std::to_string(getpid());
    Daemon daemon("@" + name);
    ASSERT_TRUE(daemon.WaitListening());
    for (int i = 0; i < 5; ++i) {
        const Exchange e = Talk(name, Frame(cipher));
        ASSERT_EQ(e.response.substr(64), "kept out of core images") << daemon.Err();
    }

    char tmpl[] = "/tmp/zorva_core_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string prefix = std::string(tmpl) + "/core";
    const Outcome dump =
        RunProgram({gcore.substr(0, gcore.find('\n')), "-o", prefix, std::to_string(daemon.Pid())});
    const std::string core = ReadFile(prefix + "." + std::to_string(daemon.Pid()));
    std::system(("rm -rf '" + std::string(tmpl) + "'").c_str());
    ASSERT_GT(core.size(), 1u << 16) << dump.out << dump.err;
    ASSERT_NE(core.find(name), std::string::npos) << "the image holds the daemon's memory (its socket name)";

    const std::string file = ReadFile(kPrimary);
    const std::string hostKey = ReadFile(kHostKey);
    ASSERT_EQ(hostKey.size(), 32u);
    EXPECT_EQ(core.find(hostKey), std::string::npos) << "the host key";
    int found = 0;
    for (const std::string &piece : SecretPieces(file)) {
        found += core.find(piece) != std::string::npos;
    }
    EXPECT_EQ(found, 0) << "pieces of the store file in the core image";
}

} // namespace
