// The key tool's protection commands (protect list|add|remove, migrate) and
// the passphrase: from a descriptor or the terminal, never from the command
// line or the environment, and wiped after the component took its copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "json_writer.h"
#include "keytool.h"
#include "trust/pcr_policy.h"
#include "zorv_admin.h"
#include "crypto/secret.h"
#include "crypto/unique_fd.h"

namespace keytool {
namespace {

constexpr std::size_t kMaxPassphrase = 1024;

QintKeyFileName Names(const Options &o) { return QintKeyFileName{o.primary.c_str(), o.standby.c_str(), nullptr}; }

// A passphrase buffer that wipes itself.
class Passphrase {
public:
    Passphrase() : bytes_(kMaxPassphrase + 2, 0) {}
    ~Passphrase() { zorv::Wipe(bytes_.data(), bytes_.size()); }
    Passphrase(const Passphrase &) = delete;
    Passphrase &operator=(const Passphrase &) = delete;
    unsigned char *data() { return bytes_.data(); }
    std::size_t capacity() const { return bytes_.size(); }
    std::size_t length = 0;
    bool Equals(const Passphrase &o) const
    {
        return length == o.length && CRYPTO_memcmp(bytes_.data(), o.bytes_.data(), length) == 0;
    }

private:
    std::vector<unsigned char> bytes_;
};

// Reads one line (without its newline) from fd; false when too long or unreadable.
bool ReadLine(int fd, Passphrase &out)
{
    out.length = 0;
    for (;;) {
        unsigned char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || c == '\n') {
            break;
        }
        if (out.length >= kMaxPassphrase) {
            return false;
        }
        out.data()[out.length++] = c;
    }
    if (out.length > 0 && out.data()[out.length - 1] == '\r') {
        --out.length;
    }
    return true;
}

// Asks on the controlling terminal with echo off; never when standard input
// is not a terminal (a script, a pipe), which would wait for nobody.
bool AskTerminal(const char *prompt, Passphrase &out)
{
    if (::isatty(STDIN_FILENO) != 1) {
        return false;
    }
    const zorv::UniqueFd ttyFd(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!ttyFd.valid()) {
        return false;
    }
    const int tty = ttyFd.get();
    termios old {};
    const bool haveAttr = ::tcgetattr(tty, &old) == 0;
    if (haveAttr) {
        termios quiet = old;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        quiet.c_lflag |= ICANON;
        (void)::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!::write(tty, prompt, std::strlen(prompt));
    const bool ok = ReadLine(tty, out);
    if (haveAttr) {
        (void)::tcsetattr(tty, TCSAFLUSH, &old);
    }
    (void)!::write(tty, "\n", 1);
    return ok;
}

bool NeedsNewRecoverySlot(const Options &o)
{
    return ((o.command == "create" || o.command == "migrate") && o.recovery) ||
           (o.command == "protect" && o.subcommand == "add" && (SlotTypeNeeds(o.slotType) & QINT_NEEDS_PASSPHRASE) != 0);
}

// The store's slots as the key store describes them; false when it cannot
// say (no store, unreadable files).
bool Slots(const Options &o, std::vector<QintSlotInfo> &slots, QintAdminReport *report = nullptr)
{
    const QintKeyFileName names = Names(o);
    std::uint32_t count = 0;
    slots.assign(8, QintSlotInfo{});
    if (QintAdminSlotsEx(&names, slots.data(), static_cast<std::uint32_t>(slots.size()), &count, report) != 0) {
        slots.clear();
        return false;
    }
    slots.resize(count);
    return true;
}

// Whether the store opens here only through a recovery slot, which needs
// the passphrase. verify judges the store as the service, which has none.
bool OnlyRecoveryOpens(const Options &o)
{
    if (o.command == "create" || o.command == "verify") {
        return false;
    }
    std::vector<QintSlotInfo> slots;
    if (!Slots(o, slots)) {
        return false;
    }
    bool recovery = false;
    for (const QintSlotInfo &s : slots) {
        if (s.status == 0) {
            return false;
        }
        recovery |= (SlotTypeNeeds(s.type) & QINT_NEEDS_PASSPHRASE) != 0;
    }
    return recovery;
}

// The public key of --tpm2-signer, checked here so that a wrong file is
// named with what is wrong with it.
bool ReadTpm2Signer(const Options &o, zorv::SecretBytes &pem)
{
    std::string why;
    TPMT_PUBLIC signer{};
    if (o.tpm2Signer.empty()) {
        return true;
    }
    if (!ReadSmallFile(o.tpm2Signer, pem, why) || !zorv::SignerFromPem(pem, false, signer, why)) {
        std::fprintf(stderr, "zorvm_keytool: %s: --tpm2-signer %s: %s\n", o.command.c_str(), o.tpm2Signer.c_str(),
                     why.c_str());
        return false;
    }
    return true;
}

bool ApplySettings(const Options &o, const zorv::SecretBytes &signer, const Passphrase *passphrase)
{
    QintProtectSettings settings{};
    settings.hostKeyFile = o.hostKey.empty() ? nullptr : o.hostKey.c_str();
    settings.tpm2PcrMask = o.pcrMask;
    settings.tpm2Signer = signer.empty() ? nullptr : signer.data();
    settings.tpm2SignerLength = signer.size();
    settings.pkcs11Uri = o.uri.empty() ? nullptr : o.uri.c_str();
    settings.pkcs11Module = o.module.empty() ? nullptr : o.module.c_str();
    settings.pkcs11Pin = TokenPin(settings.pkcs11PinLength);
    settings.pkcs11Flags = o.generateKek ? QINT_PKCS11_GENERATE_KEY : 0;
    if (passphrase != nullptr) {
        settings.passphrase = const_cast<Passphrase *>(passphrase)->data();
        settings.passphraseLength = passphrase->length;
    }
    const std::uint64_t rc = QintProtectSetEx(&settings);
    if (rc != 0) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s\n", o.command.c_str(), QintErrorTextEx(rc));
        return false;
    }
    return true;
}

const QintSlotType *SlotTypeOf(std::uint32_t code)
{
    for (std::uint32_t i = 0; const QintSlotType *t = QintSlotTypeEx(i); ++i) {
        if (t->type == code) {
            return t;
        }
    }
    return nullptr;
}

std::string PcrList(std::uint32_t mask)
{
    std::string out;
    for (int i = 0; i < 24; ++i) {
        if ((mask >> i) & 1u) {
            out += (out.empty() ? "" : ",") + std::to_string(i);
        }
    }
    return out;
}

// Why a slot does not open, with the PCRs that changed when they are known.
std::string Cause(const QintSlotInfo &s)
{
    std::string why = QintErrorTextEx(s.status);
    if (s.status == QINT_ERR_TPM_PCR_CHANGED && s.pcrChanged != 0) {
        why += " (PCR " + zorv::PcrIndexList(s.pcrChanged) + ")";
    }
    return why;
}

} // namespace

std::uint32_t SlotTypeByName(const std::string &name, std::uint32_t use)
{
    for (std::uint32_t i = 0; const QintSlotType *t = QintSlotTypeEx(i); ++i) {
        if ((t->uses & use) != 0 && name == t->name) {
            return t->type;
        }
    }
    return 0;
}

const char *SlotTypeName(std::uint32_t code)
{
    const QintSlotType *t = SlotTypeOf(code);
    return t != nullptr ? t->name : "unknown";
}

std::uint32_t SlotTypeNeeds(std::uint32_t code)
{
    const QintSlotType *t = SlotTypeOf(code);
    return t != nullptr ? t->needs : 0;
}

std::string SlotTypeNames(std::uint32_t use, std::uint32_t needs, const char *lastSeparator)
{
    std::vector<std::string> names;
    for (std::uint32_t i = 0; const QintSlotType *t = QintSlotTypeEx(i); ++i) {
        if ((t->uses & use) != 0 && (needs == 0 || (t->needs & needs) != 0)) {
            names.emplace_back(t->name);
        }
    }
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == names.size() ? lastSeparator : ", ") + names[i];
    }
    return out;
}

bool SetUpProtection(const Options &o)
{
    zorv::SecretBytes signer;
    if (!ReadTokenPin(o) || !ReadTpm2Signer(o, signer) || !ApplySettings(o, signer, nullptr)) {
        return false;
    }
    Passphrase passphrase;
    if (o.passphraseFd >= 0) {
        if (!ReadLine(o.passphraseFd, passphrase) || passphrase.length == 0) {
            std::fprintf(stderr, "zorvm_keytool: %s: no passphrase read from descriptor %d (1 to %zu bytes)\n",
                         o.command.c_str(), o.passphraseFd, kMaxPassphrase);
            return false;
        }
        return ApplySettings(o, signer, &passphrase);
    }
    if (NeedsNewRecoverySlot(o)) {
        Passphrase again;
        if (!AskTerminal("New recovery passphrase: ", passphrase) || passphrase.length == 0 ||
            !AskTerminal("Repeat the recovery passphrase: ", again)) {
            std::fprintf(stderr, "zorvm_keytool: %s: a recovery slot needs a passphrase (terminal or "
                                 "--passphrase-fd N)\n",
                         o.command.c_str());
            return false;
        }
        if (!passphrase.Equals(again)) {
            std::fprintf(stderr, "zorvm_keytool: %s: the passphrases differ\n", o.command.c_str());
            return false;
        }
        return ApplySettings(o, signer, &passphrase);
    }
    // migrate keeps a recovery slot unless told otherwise: it needs that
    // slot's passphrase to put the new root key in it.
    const bool keepsRecovery = o.command == "migrate" && !o.replace && HasRecoverySlot(o);
    if (!keepsRecovery && !OnlyRecoveryOpens(o)) {
        return true;
    }
    if (::isatty(STDIN_FILENO) != 1) {
        if (!keepsRecovery) {
            std::fprintf(stderr, "zorvm_keytool: %s: only a recovery slot opens this store here, and there is no "
                                 "terminal to ask for its passphrase: give it with --passphrase-fd N\n",
                         o.command.c_str());
        }
        return true; // the command says what is missing
    }
    if (AskTerminal(keepsRecovery ? "Recovery passphrase (the slot is kept): " : "Recovery passphrase: ", passphrase) &&
        passphrase.length > 0) {
        return ApplySettings(o, signer, &passphrase);
    }
    return true;
}

namespace {

bool PrintSlotList(const std::vector<QintSlotInfo> &slots, FILE *out)
{
    bool opens = false;
    for (const QintSlotInfo &s : slots) {
        std::string type = SlotTypeName(s.type);
        if (s.pcrMask != 0) {
            type += " (PCR " + PcrList(s.pcrMask) + ")";
        }
        std::string why = s.status == 0                        ? std::string("opens here")
                          : s.status == QINT_ERR_NO_PASSPHRASE ? std::string("not tried: no passphrase given")
                                                               : "does not open here: " + Cause(s);
        if (s.status == QINT_ERR_HOST_KEY_MISSING || s.status == QINT_ERR_HOST_KEY_BAD) {
            why += std::string(" (") + QintHostKeyFileEx() + ")";
        }
        std::fprintf(out, "slot %3" PRIu32 "  %-16s %s\n", s.id, type.c_str(), why.c_str());
        if (s.token[0] != '\0') {
            std::fprintf(out, "  token key %s\n", s.token);
        }
        if (s.signer[0] != '\0') {
            std::fprintf(out, "  opens through installed PCR policies signed by %s ('tpm2-policy list')\n", s.signer);
        }
        if (s.type == QINT_PROTECT_BUILTIN) {
            std::fprintf(out, "  protected by the built-in key only: run 'zorvm_keytool migrate --protect host'\n");
        }
        opens |= s.status == 0;
    }
    return opens;
}

} // namespace

bool PrintSlots(const Options &o, FILE *out)
{
    std::vector<QintSlotInfo> slots;
    return Slots(o, slots) && PrintSlotList(slots, out);
}

bool StoreSlots(const Options &o, std::vector<QintSlotInfo> &slots) { return Slots(o, slots); }

void SlotsJson(const std::vector<QintSlotInfo> &slots, JsonWriter &j)
{
    j.Key("slots").BeginArray();
    for (const QintSlotInfo &s : slots) {
        j.BeginObject().Field("id", s.id).Field("type", SlotTypeName(s.type)).Key("pcrs").BeginArray();
        for (std::uint32_t i = 0; i < 24; ++i) {
            if ((s.pcrMask >> i) & 1u) {
                j.Unsigned(i);
            }
        }
        j.EndArray().Field("token", s.token[0] != '\0' ? s.token : nullptr);
        j.Field("opens", s.status == 0).Field("code", s.status);
        j.Field("cause", s.status != 0 ? QintErrorTextEx(s.status) : nullptr).EndObject();
    }
    j.EndArray();
}

bool HostKeyExists() { return ::access(QintHostKeyFileEx(), F_OK) == 0; }

void NoteHostKeyCreated(const Options &o, bool hadHostKey)
{
    if (hadHostKey || !HostKeyExists()) {
        return;
    }
    // Whoever reads the store reads the host key too: a new host key file
    // gets the owner of the store it was made for (the keytool runs as root,
    // the service need not).
    const char *path = QintHostKeyFileEx();
    struct stat store {}, key {};
    if (::stat(o.primary.c_str(), &store) == 0 && ::lstat(path, &key) == 0 && S_ISREG(key.st_mode) &&
        (store.st_uid != key.st_uid || store.st_gid != key.st_gid) &&
        ::lchown(path, store.st_uid, store.st_gid) != 0) {
        std::fprintf(stderr, "zorvm_keytool: note: %s: cannot give it the owner of %s: %s\n", path,
                     o.primary.c_str(), std::strerror(errno));
    }
    std::printf("created host key file %s (mode 0400): keep it out of backups of the store\n", path);
}

bool HasRecoverySlot(const Options &o)
{
    std::vector<QintSlotInfo> slots;
    return Slots(o, slots) && std::any_of(slots.begin(), slots.end(), [](const QintSlotInfo &s) {
               return (SlotTypeNeeds(s.type) & QINT_NEEDS_PASSPHRASE) != 0;
           });
}

int ProtectList(const Options &o)
{
    QintAdminReport r{};
    std::vector<QintSlotInfo> slots;
    const bool known = Slots(o, slots, &r);
    const bool opens = std::any_of(slots.begin(), slots.end(), [](const QintSlotInfo &s) { return s.status == 0; });
    if (o.json) {
        QintPairHealth h{};
        const QintKeyFileName names = Names(o);
        (void)QintAdminHealthEx(&names, &h);
        JsonWriter j;
        j.BeginObject();
        CopiesJson(o, h, j);
        SlotsJson(slots, j);
        std::printf("%s\n", j.EndObject().Text().c_str());
    } else if (known) {
        PrintSlotList(slots, stdout);
        NoteDamage(o, r);
    }
    if (!opens) {
        std::fprintf(stderr, "zorvm_keytool: protect list: no slot opens the store here\n");
    }
    return opens ? kExitOk : kExitFailure;
}

int ProtectAdd(const Options &o)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    // A slot that is what the new one would be: the same type with the same
    // PCRs or token key, opening here with what this command brings (the
    // host key, this TPM, the passphrase just given).
    std::vector<QintSlotInfo> slots;
    (void)Slots(o, slots);
    const std::string token = o.uri.substr(0, o.uri.find('?')) + " (module ";
    for (const QintSlotInfo &s : slots) {
        const std::uint32_t needs = SlotTypeNeeds(s.type);
        if (s.type == o.slotType && s.status == 0 && ((needs & QINT_NEEDS_TPM) == 0 || s.pcrMask == o.pcrMask) &&
            ((needs & QINT_NEEDS_TOKEN) == 0 || std::string(s.token).rfind(token, 0) == 0)) {
            std::printf("slot %" PRIu32 " (%s) is such a slot already and opens here; nothing changed\n", s.id,
                        SlotTypeName(s.type));
            return kExitOk;
        }
    }
    const bool hadHostKey = HostKeyExists();
    std::uint32_t id = 0;
    const std::uint64_t rc = QintAdminAddSlotEx(&names, o.slotType, &id, &r);
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    NoteHostKeyCreated(o, hadHostKey);
    PinAfterWrite(o, false);
    std::printf("added slot %" PRIu32 " (%s)\n", id, SlotTypeName(o.slotType));
    return kExitOk;
}

int ProtectRemove(const Options &o)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    const std::uint32_t id = o.slotId;
    const std::uint64_t rc = QintAdminRemoveSlotEx(&names, id, &r);
    if (rc == QINT_ERR_LAST_SLOT || rc == QINT_ERR_NO_SUCH_SLOT) {
        std::fprintf(stderr, "zorvm_keytool: protect remove: slot %" PRIu32 ": %s\n", id, QintErrorTextEx(rc));
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    PinAfterWrite(o, false);
    std::printf("removed slot %" PRIu32 "\n", id);
    return kExitOk;
}

namespace {

std::string SlotName(std::uint32_t id, std::uint32_t type)
{
    return type == QINT_PROTECT_BUILTIN ? std::string("the built-in key")
                                        : "slot " + std::to_string(id) + " (" + SlotTypeName(type) + ")";
}

} // namespace

int Migrate(const Options &o)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    QintMigrateOutcome out{};
    const bool hadHostKey = HostKeyExists();
    const std::uint32_t flags = (o.recovery ? QINT_ADMIN_RECOVERY : 0) | (o.replace ? 0 : QINT_ADMIN_KEEP_SLOTS);
    const std::uint64_t rc = QintAdminMigrateKeepingEx(&names, o.protect, flags, &out, &r);
    if (rc != 0 && out.failedSlot != 0) {
        std::uint32_t type = 0;
        for (std::uint32_t i = 0; i < out.beforeCount; ++i) {
            type = out.before[i].id == out.failedSlot ? out.before[i].type : type;
        }
        const std::string slot = SlotName(out.failedSlot, type);
        if (rc == QINT_ERR_NO_PASSPHRASE) {
            std::fprintf(stderr, "zorvm_keytool: migrate: %s is kept and needs its passphrase to take the new root "
                                 "key: give it (--passphrase-fd N, or on a terminal), or give --replace to drop the "
                                 "slot; nothing changed\n", slot.c_str());
        } else {
            std::fprintf(stderr, "zorvm_keytool: migrate: %s is kept, but it does not open here: %s; make it open, "
                                 "or give --replace to drop it; nothing changed\n", slot.c_str(), QintErrorTextEx(rc));
        }
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    NoteHostKeyCreated(o, hadHostKey);
    PinAfterWrite(o, true);
    std::printf("migrated %s and %s to a new root key; every key and key id kept\n", o.primary.c_str(),
                o.standby.c_str());
    std::string kept, replaced;
    for (std::uint32_t i = 0; i < out.beforeCount; ++i) {
        std::string &list = out.before[i].kept != 0 ? kept : replaced;
        list += (list.empty() ? "" : ", ") + SlotName(out.before[i].id, out.before[i].type);
    }
    if (!kept.empty()) {
        std::printf("kept: %s\n", kept.c_str());
    }
    if (!replaced.empty()) {
        std::printf("replaced: %s\n", replaced.c_str());
    }
    std::printf("new: %s%s\n", SlotName(out.newSlot, o.protect).c_str(),
                out.recoverySlot != 0 ? (", " + SlotName(out.recoverySlot, QINT_PROTECT_RECOVERY)).c_str() : "");
    PrintSlots(o, stdout);
    return kExitOk;
}

} // namespace keytool
