// What the host trusts, as the key tool keeps it: the store it serves (the
// pin), the administrator keys it takes imports from, the PKCS#11 modules and
// PIN sources it uses. Only root writes the host configuration; each file
// is replaced whole (temporary file, fsync, rename) in a folder that only
// root can write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/rand.h>

#include "crypto/admin_key.h"
#include "crypto/unique_fd.h"
#include "keytool.h"
#include "trust/pkcs11_config.h"
#include "trust/store_pin.h"
#include "trust/trusted_admins.h"
#include "zorv.h"

namespace keytool {
namespace {

constexpr std::size_t kMaxKeyFile = 16384;

enum class PinWork { none, set, refresh };
PinWork g_pinWork = PinWork::none;

// The PKCS#11 entries before this command added one for its new slot.
bool g_pkcs11Added = false;
std::vector<zorv::Pkcs11Entry> g_pkcs11Before;

using Fd = zorv::UniqueFd;

bool WriteAll(int fd, const void *data, std::size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

// Reads a whole small file (an administrator's key, a public key) into out.
bool ReadSmallFile(const std::string &path, zorv::SecretBytes &out, std::string &why)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxKeyFile) {
        why = "not a regular file of at most 16 KiB";
        return false;
    }
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    while (have < out.size()) {
        const ssize_t n = ::read(fd.get(), out.data() + have, out.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = n < 0 ? std::strerror(errno) : "shorter than its size";
            return false;
        }
        have += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates path (never replacing anything, never through a link) with text.
bool CreateFile(const std::string &path, std::string_view text, mode_t mode)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0 || ::fchmod(fd.get(), mode) != 0 || !WriteAll(fd.get(), text.data(), text.size()) ||
        ::fsync(fd.get()) != 0) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

namespace {

// The host configuration folder, made (0755) when missing; only root writes.
bool ConfigFolder(std::string &dir)
{
    dir = zorv::HostConfigDir();
    if (::geteuid() != 0) {
        std::fprintf(stderr, "zorvm_keytool: %s: only root writes the host configuration\n", dir.c_str());
        return false;
    }
    std::string why;
    if (!zorv::SafeConfigFolders(dir + "/x", why)) {
        if (::mkdir(dir.c_str(), 0755) != 0 || !zorv::SafeConfigFolders(dir + "/x", why)) {
            std::fprintf(stderr, "zorvm_keytool: %s: %s\n", dir.c_str(), why.empty() ? std::strerror(errno) : why.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

bool WriteConfig(const char *name, const std::string &text, mode_t mode)
{
    std::string dir;
    if (!ConfigFolder(dir)) {
        return false;
    }
    Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    unsigned char random[6] = {};
    if (folder.get() < 0 || RAND_bytes(random, sizeof random) != 1) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    std::string temporary = std::string(".") + name + ".tmp.";
    for (unsigned char r : random) {
        temporary += "0123456789abcdef"[r & 15];
    }
    Fd fd(::openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    const bool written = fd.get() >= 0 && ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text.data(), text.size()) &&
                         ::fsync(fd.get()) == 0;
    const int error = errno;
    if (!written || ::renameat(folder.get(), temporary.c_str(), folder.get(), name) != 0) {
        (void)::unlinkat(folder.get(), temporary.c_str(), 0);
        std::fprintf(stderr, "zorvm_keytool: %s/%s: %s\n", dir.c_str(), name, std::strerror(written ? errno : error));
        return false;
    }
    (void)::fsync(folder.get());
    return true;
}

namespace {

bool IsServedPair(const Options &o) { return o.primary == kDefaultPrimary && o.standby == kDefaultStandby; }

} // namespace

void PinAfterWrite(const Options &o, bool takeAsServed)
{
    g_pinWork = takeAsServed && IsServedPair(o) ? PinWork::set : PinWork::refresh;
}

bool FinishHostConfig(const Options &o, bool succeeded)
{
    if (!succeeded) {
        if (g_pkcs11Added) {
            (void)WriteConfig(zorv::kPkcs11ConfigFile, zorv::FormatPkcs11Config(g_pkcs11Before), 0644);
        }
        return true;
    }
    if (g_pinWork == PinWork::none) {
        return true;
    }
    const QintKeyFileName names{o.primary.c_str(), o.standby.c_str(), nullptr};
    zorv::StoreId id{};
    std::uint64_t counter = 0;
    QintAdminReport r{};
    if (QintAdminStoreIdEx(&names, id.data(), &counter, &r) != 0) {
        return true; // nothing written that could be pinned
    }
    const zorv::StorePin pin = zorv::ReadStorePin();
    if (g_pinWork == PinWork::refresh) {
        // Only the store the host serves moves its pin forwards.
        if (!pin.pinned() || pin.id != id || counter <= pin.newestUpdate) {
            return true;
        }
    }
    if (!WriteConfig(zorv::kStorePinFile, zorv::FormatStorePin(id, counter), 0644)) {
        std::fprintf(stderr, "zorvm_keytool: %s: the store was written, but this host's pin of it was not "
                             "updated\n", o.command.c_str());
        return false;
    }
    if (g_pinWork == PinWork::set && (!pin.pinned() || pin.id != id)) {
        std::printf("this host now serves key store %s (store id %s)\n", o.primary.c_str(),
                    zorv::StoreIdText(id).c_str());
    }
    return true;
}

int Adopt(const Options &o)
{
    const QintKeyFileName names{o.primary.c_str(), o.standby.c_str(), nullptr};
    zorv::StoreId id{};
    std::uint64_t counter = 0;
    QintAdminReport r{};
    const std::uint64_t rc = QintAdminAdoptEx(&names, id.data(), &counter, &r);
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    g_pinWork = PinWork::set;
    return kExitOk;
}

int AdminKey(const Options &o)
{
    if (o.subcommand != "create") {
        std::fprintf(stderr, "zorvm_keytool: admin-key: only 'admin-key create --out FILE'\n");
        return kExitUsage;
    }
    zorv::SecretBytes privatePem;
    std::string publicPem;
    zorv::AdminPublicKey key{};
    if (!zorv::MakeAdminKey(privatePem, publicPem, key)) {
        std::fprintf(stderr, "zorvm_keytool: admin-key: the crypto library failed\n");
        return kExitFailure;
    }
    const std::string pub = o.outDir + ".pub";
    if (!CreateFile(o.outDir, {reinterpret_cast<const char *>(privatePem.data()), privatePem.size()}, 0600)) {
        return kExitFailure;
    }
    if (!CreateFile(pub, publicPem, 0644)) {
        (void)::unlink(o.outDir.c_str());
        return kExitFailure;
    }
    std::printf("administrator key %s (keep it off the hosts), public key %s\nfingerprint %s\n",
                o.outDir.c_str(), pub.c_str(), zorv::AdminFingerprint(key).c_str());
    return kExitOk;
}

bool ReadSigningKey(const std::string &path, zorv::SecretBytes &pem)
{
    std::string why;
    if (!ReadSmallFile(path, pem, why)) {
        std::fprintf(stderr, "zorvm_keytool: --sign-with %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    return true;
}

int Trust(const Options &o)
{
    zorv::TrustedAdmins trusted = zorv::ReadTrustedAdmins();
    if (trusted.status == zorv::ConfigStatus::unsafe || trusted.status == zorv::ConfigStatus::unreadable) {
        std::fprintf(stderr, "zorvm_keytool: trust: %s\n", trusted.detail.c_str());
        return kExitFailure;
    }
    if (o.subcommand == "list") {
        for (const zorv::TrustedAdmin &a : trusted.keys) {
            std::printf("%s  %s\n", zorv::AdminFingerprint(a.key).c_str(), a.comment.c_str());
        }
        if (trusted.keys.empty()) {
            std::printf("no administrator keys trusted: this host imports nothing (add one with 'trust add PUBFILE')\n");
        }
        return kExitOk;
    }
    if (o.subcommand == "add") {
        zorv::SecretBytes text;
        std::string why;
        zorv::TrustedAdmin admin;
        if (!ReadSmallFile(o.argument, text, why)) {
            std::fprintf(stderr, "zorvm_keytool: trust add: %s: %s\n", o.argument.c_str(), why.c_str());
            return kExitFailure;
        }
        if (!zorv::AdminPublicFromPem({reinterpret_cast<const char *>(text.data()), text.size()}, admin.key)) {
            std::fprintf(stderr, "zorvm_keytool: trust add: %s: not an Ed25519 public key in PEM\n", o.argument.c_str());
            return kExitFailure;
        }
        const std::string fingerprint = zorv::AdminFingerprint(admin.key);
        if (std::any_of(trusted.keys.begin(), trusted.keys.end(), [&](const auto &a) { return a.key == admin.key; })) {
            std::printf("%s is trusted already; nothing changed\n", fingerprint.c_str());
            return kExitOk;
        }
        const std::string base = o.argument.substr(o.argument.rfind('/') + 1);
        for (char c : base) {
            admin.comment += c > ' ' && c < 0x7f && c != '#' ? c : '_';
        }
        trusted.keys.push_back(admin);
        if (!WriteConfig(zorv::kTrustedAdminsFile, zorv::FormatTrustedAdmins(trusted.keys), 0644)) {
            return kExitFailure;
        }
        std::printf("trusted %s: this host imports copies signed with it\n", fingerprint.c_str());
        return kExitOk;
    }
    const auto it = std::find_if(trusted.keys.begin(), trusted.keys.end(),
                                 [&](const auto &a) { return zorv::AdminFingerprint(a.key) == o.argument; });
    if (it == trusted.keys.end()) {
        std::fprintf(stderr, "zorvm_keytool: trust remove: no trusted key %s ('trust list' shows them)\n",
                     o.argument.c_str());
        return kExitFailure;
    }
    trusted.keys.erase(it);
    if (!WriteConfig(zorv::kTrustedAdminsFile, zorv::FormatTrustedAdmins(trusted.keys), 0644)) {
        return kExitFailure;
    }
    std::printf("no longer trusted: %s\n", o.argument.c_str());
    return kExitOk;
}

int Pkcs11(const Options &o)
{
    zorv::Pkcs11Config config = zorv::ReadPkcs11Config();
    if (config.status == zorv::ConfigStatus::unsafe || config.status == zorv::ConfigStatus::unreadable) {
        std::fprintf(stderr, "zorvm_keytool: pkcs11: %s\n", config.detail.c_str());
        return kExitFailure;
    }
    if (o.subcommand == "list") {
        for (const zorv::Pkcs11Entry &e : config.entries) {
            std::printf("module %s  token %s  pin %s\n", e.module.c_str(), e.token.c_str(), e.pinSource.c_str());
        }
        if (config.entries.empty()) {
            std::printf("no PKCS#11 module configured: pkcs11 slots do not open on this host\n");
        }
        return kExitOk;
    }
    const auto same = [&](const zorv::Pkcs11Entry &e) { return e.module == o.module && e.token == o.token; };
    const auto it = std::find_if(config.entries.begin(), config.entries.end(), same);
    if (o.subcommand == "add") {
        const std::string source = o.pinSource.empty() ? "none" : o.pinSource;
        if (!zorv::ValidPinSource(source)) {
            std::fprintf(stderr, "zorvm_keytool: pkcs11 add: --pin-source takes file:PATH, credential:NAME or none\n");
            return kExitUsage;
        }
        if (it != config.entries.end() && it->pinSource == source) {
            std::printf("module %s token %s is configured already; nothing changed\n", o.module.c_str(), o.token.c_str());
            return kExitOk;
        }
        if (it != config.entries.end()) {
            it->pinSource = source;
        } else {
            config.entries.push_back({o.module, o.token, source});
        }
    } else if (it == config.entries.end()) {
        std::fprintf(stderr, "zorvm_keytool: pkcs11 remove: module %s token %s is not configured\n", o.module.c_str(),
                     o.token.c_str());
        return kExitFailure;
    } else {
        config.entries.erase(it);
    }
    if (!WriteConfig(zorv::kPkcs11ConfigFile, zorv::FormatPkcs11Config(config.entries), 0644)) {
        return kExitFailure;
    }
    std::printf("%s module %s token %s\n", o.subcommand == "add" ? "configured" : "removed", o.module.c_str(),
                o.token.c_str());
    return kExitOk;
}

namespace {

std::string PercentDecoded(const std::string &in)
{
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size()) {
            out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += in[i];
        }
    }
    return out;
}

// The value of attribute name in one part of a PKCS#11 URI (';'- or
// '&'-separated), decoded; empty when absent.
std::string Attribute(const std::string &part, const std::string &name, char separator)
{
    std::size_t at = 0;
    while (at <= part.size()) {
        const std::size_t end = std::min(part.find(separator, at), part.size());
        const std::string item = part.substr(at, end - at);
        if (item.rfind(name + "=", 0) == 0) {
            try {
                return PercentDecoded(item.substr(name.size() + 1));
            } catch (const std::exception &) {
                return {};
            }
        }
        at = end + 1;
    }
    return {};
}

} // namespace

bool ConfigureNewPkcs11Slot(const Options &o)
{
    const std::size_t query = o.uri.find('?');
    const std::string path = o.uri.substr(0, query).substr(o.uri.rfind("pkcs11:", 0) == 0 ? 7 : 0);
    const std::string rest = query == std::string::npos ? "" : o.uri.substr(query + 1);
    const std::string token = Attribute(path, "token", ';');
    const std::string module = o.module.empty() ? Attribute(rest, "module-path", '&') : o.module;
    std::string pinSource = o.pinSource;
    if (pinSource.empty()) {
        const std::string file = Attribute(rest, "pin-source", '&');
        pinSource = file.empty() ? "" : file.rfind("file:", 0) == 0 ? file : "file:" + file;
    }
    if (token.empty() || module.empty() || module[0] != '/') {
        std::fprintf(stderr, "zorvm_keytool: %s: a pkcs11 slot needs a URI with token= and an absolute --module "
                             "PATH (or module-path= in the URI)\n", o.command.c_str());
        return false;
    }
    if (pinSource.empty() || !zorv::ValidPinSource(pinSource)) {
        std::fprintf(stderr, "zorvm_keytool: %s: a pkcs11 slot needs a PIN source for the loads that follow: "
                             "--pin-source file:PATH|credential:NAME|none (or pin-source= in the URI)\n",
                     o.command.c_str());
        return false;
    }
    const zorv::Pkcs11Config before = zorv::ReadPkcs11Config();
    if (!ConfigurePkcs11Slot(module, token, pinSource)) {
        return false;
    }
    // Taken back if the command fails: a slot that was never made leaves
    // nothing behind in the host configuration.
    if (before.status == zorv::ConfigStatus::ok || before.status == zorv::ConfigStatus::missing) {
        g_pkcs11Before = before.entries;
        g_pkcs11Added = before.Find(module, token) == nullptr || before.Find(module, token)->pinSource != pinSource;
    }
    return true;
}

bool ConfigurePkcs11Slot(const std::string &module, const std::string &token, const std::string &pinSource)
{
    zorv::Pkcs11Config config = zorv::ReadPkcs11Config();
    if (config.status == zorv::ConfigStatus::unsafe || config.status == zorv::ConfigStatus::unreadable) {
        std::fprintf(stderr, "zorvm_keytool: %s\n", config.detail.c_str());
        return false;
    }
    const zorv::Pkcs11Entry *known = config.Find(module, token);
    if (known != nullptr && known->pinSource == pinSource) {
        return true;
    }
    config.entries.erase(std::remove_if(config.entries.begin(), config.entries.end(),
                                        [&](const auto &e) { return e.module == module && e.token == token; }),
                         config.entries.end());
    config.entries.push_back({module, token, pinSource});
    return WriteConfig(zorv::kPkcs11ConfigFile, zorv::FormatPkcs11Config(config.entries), 0644);
}

} // namespace keytool
