// A core image of a serving daemon after several requests holds none of the
// store file's key material and not the host key: the store bytes live only
// in wiping buffers, the host key is read, used and wiped for every load, and
// what the process keeps between loads (the cached index's wrapped keys and
// wrapping key) sits in memory marked MADV_DONTDUMP. The image is taken the
// way the kernel writes a core: every readable mapping that holds pages,
// except those whose VmFlags carry "dd". Reading /proc/PID/mem directly keeps
// the check independent of a debugger's own dump rules. Runs under
// tests/isolated.sh (a private /etc).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "processes.h"

namespace {

using namespace e2e;

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
// slot's sealed root key and the MAC (nothing keeps these after a load), and
// each entry's wrapped key (kept by the cached index, out of core images).
struct Pieces {
    std::vector<std::string> loadOnly;
    std::vector<std::string> wrapped;
};

Pieces SecretPieces(const std::string &file)
{
    Pieces pieces;
    pieces.loadOnly.push_back(file.substr(32, 32));
    std::size_t at = 88; // format 3: after the store id
    for (unsigned slots = static_cast<unsigned char>(file.at(68)); slots > 0; --slots) {
        const std::size_t params = static_cast<unsigned char>(file.at(at + 2)) |
                                   static_cast<std::size_t>(static_cast<unsigned char>(file.at(at + 3))) << 8;
        pieces.loadOnly.push_back(file.substr(at + 4 + params + 12, 32));
        at += 4 + params + 12 + 32 + 16;
    }
    for (std::uint32_t i = 0, n = Le32(file, 64); i < n; ++i, at += 88) {
        pieces.wrapped.push_back(file.substr(at + 40, 32));
    }
    pieces.loadOnly.push_back(file.substr(file.size() - 32));
    return pieces;
}

struct Mapping {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool readable = false;
    bool dontDump = false;
    bool flagsShown = false;
    std::size_t rssKb = 0;
};

std::vector<Mapping> Mappings(const std::string &smapsPath)
{
    std::vector<Mapping> maps;
    std::ifstream in(smapsPath);
    std::string line;
    while (std::getline(in, line)) {
        std::uintptr_t b = 0;
        std::uintptr_t e = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &b, &e, perms) == 3 && line.find(':') > line.find(' ')) {
            maps.push_back({b, e, perms[0] == 'r', false, false, 0});
        } else if (!maps.empty() && line.rfind("Rss:", 0) == 0) {
            maps.back().rssKb = std::strtoul(line.c_str() + 4, nullptr, 10);
        } else if (!maps.empty() && line.rfind("VmFlags:", 0) == 0) {
            maps.back().flagsShown = true;
            maps.back().dontDump = (line + " ").find(" dd ") != std::string::npos;
        }
    }
    return maps;
}

// Whether this kernel marks MADV_DONTDUMP memory in smaps (an emulator or
// sandbox may take the advice and drop it).
bool KernelMarksDontDump()
{
    const long page = sysconf(_SC_PAGESIZE);
    void *p = mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    bool marked = false;
    if (madvise(p, static_cast<std::size_t>(page), MADV_DONTDUMP) == 0) {
        for (const Mapping &m : Mappings("/proc/self/smaps")) {
            const auto at = reinterpret_cast<std::uintptr_t>(p);
            marked |= m.begin <= at && at < m.end && m.dontDump;
        }
    }
    munmap(p, static_cast<std::size_t>(page));
    return marked;
}

// The process's memory as a core image holds it: readable mappings with
// resident pages, without the ones marked "dd" (when dontDump is honoured).
std::string MemoryImage(pid_t pid, bool honourDontDump)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const int fd = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string image;
    for (const Mapping &m : Mappings(proc + "/smaps")) {
        if (!m.readable || m.rssKb == 0 || (honourDontDump && m.dontDump)) {
            continue;
        }
        // In chunks, leaving out all-zero ones: an emulator's large
        // reservations are mostly untouched.
        std::string chunk(std::size_t(1) << 20, '\0');
        for (std::uintptr_t at = m.begin; at < m.end; at += chunk.size()) {
            const std::size_t want = std::min<std::size_t>(chunk.size(), m.end - at);
            const ssize_t got = pread(fd, chunk.data(), want, static_cast<off_t>(at));
            if (got <= 0) { // [vvar] and the like refuse to be read
                break;
            }
            const auto n = static_cast<std::size_t>(got);
            const auto end = chunk.begin() + static_cast<std::ptrdiff_t>(n);
            if (std::any_of(chunk.begin(), end, [](char c) { return c != 0; })) {
                image.append(chunk, 0, n);
            }
        }
    }
    close(fd);
    return image;
}

int Count(const std::string &image, const std::vector<std::string> &pieces)
{
    int found = 0;
    for (const std::string &piece : pieces) {
        found += image.find(piece) != std::string::npos;
    }
    return found;
}

TEST(CoreImage, AServingDaemonHoldsNeitherTheStoreFilesKeysNorTheHostKey)
{
    REQUIRE_ISOLATION();
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

    // Where the kernel drops the advice (an emulator, some sandboxes) the
    // cached wrapped keys are in any image; what a load alone touched must
    // still be gone.
    const bool dontDump = KernelMarksDontDump();
    const std::string image = MemoryImage(daemon.Pid(), dontDump);
    ASSERT_NE(image.find(name), std::string::npos) << "the image holds the daemon's memory (its socket name)";

    const std::string file = ReadFile(kPrimary);
    const std::string hostKey = ReadFile(kHostKey);
    ASSERT_EQ(hostKey.size(), 32u);
    EXPECT_EQ(image.find(hostKey), std::string::npos) << "the host key";
    const Pieces pieces = SecretPieces(file);
    EXPECT_EQ(Count(image, pieces.loadOnly), 0) << "salt, sealed root keys or MAC of the store file in the image";
    if (dontDump) {
        EXPECT_EQ(Count(image, pieces.wrapped), 0) << "wrapped keys of the store file in the image";
    }
}

} // namespace
