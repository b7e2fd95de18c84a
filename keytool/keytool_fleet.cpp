// The key tool's fleet commands: this host's identity (host-id), a copy of
// the store sealed for another host (export), and taking such a copy in
// (import). The PKCS#11 PIN comes from a descriptor (--pin-fd) or the
// URI's pin-source file, never from the command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "crypto/admin_key.h"
#include "keytool.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

constexpr const char *kPrimaryName = "zorvm_primary_file.dat";
constexpr const char *kStandbyName = "zorvm_standby_file.dat";
constexpr std::size_t kMaxPin = 256;

QintKeyFileName Names(const Options &o) { return QintKeyFileName{o.primary.c_str(), o.standby.c_str(), nullptr}; }

struct DirPair {
    std::string primary;
    std::string standby;
    std::string signature;
    explicit DirPair(const std::string &dir)
        : primary(dir + "/" + kPrimaryName), standby(dir + "/" + kStandbyName), signature(dir + "/zorvm_export.sig")
    {
    }
    QintKeyFileName names() const { return QintKeyFileName{primary.c_str(), standby.c_str(), nullptr}; }
};

// The token PIN read from --pin-fd, wiped at exit.
class TokenPinBuffer {
public:
    ~TokenPinBuffer() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    std::array<unsigned char, kMaxPin + 2> bytes_{};
    std::size_t length = 0;
    bool read = false;
};

TokenPinBuffer &Pin()
{
    static TokenPinBuffer pin;
    return pin;
}

// The export's signature file, replacing one of an earlier export; never
// written through a link.
bool WriteSignature(const std::string &path, const char *text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    const std::size_t n = std::strlen(text);
    const bool ok = fd >= 0 && ::write(fd, text, n) == static_cast<ssize_t>(n) && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok) {
        std::fprintf(stderr, "zorvm_keytool: export: %s: %s\n", path.c_str(), std::strerror(error));
    }
    return ok;
}

} // namespace

bool ReadTokenPin(const Options &o)
{
    if (o.pinFd < 0) {
        return true;
    }
    TokenPinBuffer &pin = Pin();
    pin.length = 0;
    for (;;) {
        unsigned char c = 0;
        const ssize_t n = ::read(o.pinFd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || c == '\n') {
            break;
        }
        if (pin.length >= kMaxPin) {
            pin.length = 0;
            break;
        }
        pin.bytes_[pin.length++] = c;
    }
    if (pin.length > 0 && pin.bytes_[pin.length - 1] == '\r') {
        --pin.length;
    }
    if (pin.length == 0) {
        std::fprintf(stderr, "zorvm_keytool: %s: no token PIN read from descriptor %d (1 to %zu bytes)\n",
                     o.command.c_str(), o.pinFd, kMaxPin);
        return false;
    }
    pin.read = true;
    return true;
}

const unsigned char *TokenPin(std::size_t &length)
{
    const TokenPinBuffer &pin = Pin();
    length = pin.read ? pin.length : 0;
    return pin.read ? pin.bytes_.data() : nullptr;
}

int HostId(const Options &o)
{
    const bool hadHostKey = HostKeyExists();
    char text[128] = {};
    const std::uint64_t rc = QintHostIdEx(text, sizeof text);
    if (rc != 0) {
        std::fprintf(stderr, "zorvm_keytool: host-id: %s: %s\n", QintHostKeyFileEx(), QintErrorTextEx(rc));
        return kExitFailure;
    }
    if (!hadHostKey && HostKeyExists()) {
        std::fprintf(stderr, "zorvm_keytool: note: created host key file %s (mode 0400)\n", QintHostKeyFileEx());
    }
    (void)o;
    std::printf("%s\nfingerprint %s (read it out to whoever exports for this host)\n", text,
                zorv::HostIdFingerprint(text).c_str());
    return kExitOk;
}

int Export(const Options &o)
{
    if (!MakeFolders(o, o.outDir)) {
        return kExitFailure;
    }
    const DirPair out(o.outDir);
    const QintKeyFileName names = Names(o);
    const QintKeyFileName target = out.names();
    QintAdminReport r{};
    zorv::SecretBytes key;
    if (!ReadSigningKey(o.signWith, key)) {
        return kExitFailure;
    }
    char signature[1024] = {};
    const std::uint64_t rc =
        QintAdminExportEx(&names, o.forHost.c_str(), &target, key.data(), key.size(), signature, sizeof signature, &r);
    if (rc == QINT_ERR_BAD_ARGUMENT) {
        std::fprintf(stderr, "zorvm_keytool: export: --sign-with %s: not an Ed25519 private key in PEM (made by "
                             "'admin-key create')\n", o.signWith.c_str());
        return kExitFailure;
    }
    if (rc == QINT_ERR_BAD_HOST_ID) {
        std::fprintf(stderr, "zorvm_keytool: export: --for: %s\n", QintErrorTextEx(rc));
        return kExitFailure;
    }
    if (rc == QINT_ERR_FILE_WRITE) {
        std::fprintf(stderr, "zorvm_keytool: export: %s: %s\n",
                     (r.failedFile == QINT_FILE_STANDBY ? out.standby : out.primary).c_str(), QintErrorTextEx(rc));
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    if (!WriteSignature(out.signature, signature)) {
        return kExitFailure;
    }
    std::printf("exported to %s and %s, signed in %s: opens only on host %s (and through any recovery or pkcs11 "
                "slot kept)\nfor the host with fingerprint %s: compare it with what that host's 'host-id' shows\n",
                out.primary.c_str(), out.standby.c_str(), out.signature.c_str(), o.forHost.c_str(),
                zorv::HostIdFingerprint(o.forHost).c_str());
    return kExitOk;
}

int Import(const Options &o)
{
    const DirPair in(o.argument);
    const QintKeyFileName source = in.names();
    const QintKeyFileName names = Names(o);
    const std::uint32_t protect = o.hasProtect ? o.protect : QINT_PROTECT_HOST;
    const bool hadHostKey = HostKeyExists();
    QintAdminReport r{};
    char signer[128] = {};
    const std::uint64_t rc = QintAdminImportEx(&source, in.signature.c_str(), &names, protect,
                                               o.force ? QINT_ADMIN_FORCE : 0, signer, sizeof signer, &r);
    if (rc == QINT_ERR_UNSIGNED) {
        std::fprintf(stderr, "zorvm_keytool: import: %s: %s%s%s\n", in.signature.c_str(), QintErrorTextEx(rc),
                     signer[0] != '\0' ? "; signed by " : "", signer);
        return kExitFailure;
    }
    if (rc == QINT_ERR_EXISTS) {
        std::fprintf(stderr, "zorvm_keytool: import: %s: a store is installed (use --force to replace it)\n",
                     o.primary.c_str());
        return kExitFailure;
    }
    if (rc != 0) {
        // The copy being imported is what is wrong: name its files.
        Options from = o;
        from.primary = in.primary;
        from.standby = in.standby;
        return Fail(from, rc, r);
    }
    NoteHostKeyCreated(o, hadHostKey);
    PinAfterWrite(o, true);
    std::printf("imported %s (signed by %s) into %s and %s, now protected by this host (slot type %s)\n",
                o.argument.c_str(), signer, o.primary.c_str(), o.standby.c_str(), SlotTypeName(protect));
    return kExitOk;
}

} // namespace keytool
