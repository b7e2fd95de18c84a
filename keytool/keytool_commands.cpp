// The key tool's commands. Results go to standard output; every failure goes
// to standard error naming the file and the cause.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <vector>

#include "json_writer.h"
#include "key_usage.h"
#include "keytool.h"
#include "zorv.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

QintKeyFileName Names(const Options &o) { return QintKeyFileName{o.primary.c_str(), o.standby.c_str(), nullptr}; }

const char *Text(std::uint64_t code) { return QintErrorTextEx(code); }

bool IsHostKeyProblem(std::uint64_t rc) { return rc == QINT_ERR_HOST_KEY_MISSING || rc == QINT_ERR_HOST_KEY_BAD; }

bool IsProtectorProblem(std::uint64_t rc)
{
    return IsHostKeyProblem(rc) || (rc >= QINT_ERR_NO_SLOT_OPENS && rc <= QINT_ERR_TPM) || rc == QINT_ERR_BUILTIN_ONLY ||
           rc == QINT_ERR_TPM_NO_POLICY || rc == QINT_ERR_TPM_POLICY_REFUSED ||
           (rc >= QINT_ERR_PKCS11_URI && rc <= QINT_ERR_SEALED_TAMPERED);
}

} // namespace

// Names the failing file and the cause; when no single file is to blame,
// what is wrong with each.
int Fail(const Options &o, const std::uint64_t rc, const QintAdminReport &r)
{
    const char *cmd = o.command.c_str();
    if (IsHostKeyProblem(rc)) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s: %s\n", cmd, QintHostKeyFileEx(), Text(rc));
        if (rc == QINT_ERR_HOST_KEY_MISSING && o.command != "create") {
            std::fprintf(stderr, "zorvm_keytool: %s: on a new host, open the store through its recovery slot "
                                 "and bind it here with 'protect add host'\n",
                         cmd);
        }
    } else if (rc == QINT_ERR_BUILTIN_ONLY) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s: %s: run 'zorvm_keytool migrate --protect host'\n", cmd,
                     o.primary.c_str(), Text(rc));
    } else if (IsProtectorProblem(rc)) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s, %s: %s\n", cmd, o.primary.c_str(), o.standby.c_str(), Text(rc));
    } else if (r.failedFile == QINT_FILE_PRIMARY || r.failedFile == QINT_FILE_STANDBY) {
        const bool primary = r.failedFile == QINT_FILE_PRIMARY;
        const std::uint64_t status = primary ? r.primaryStatus : r.standbyStatus;
        std::fprintf(stderr, "zorvm_keytool: %s: %s: %s\n", cmd, (primary ? o.primary : o.standby).c_str(),
                     Text(status != 0 ? status : rc));
    } else if (rc == QINT_ERR_BOTH_DAMAGED || rc == QINT_ERR_FILES_UNREADABLE ||
               rc == QINT_ERR_UNSUPPORTED_VERSION) {
        std::fprintf(stderr, "zorvm_keytool: %s: no usable key store (%s)\n", cmd, Text(rc));
        std::fprintf(stderr, "zorvm_keytool: %s: %s: %s\n", cmd, o.primary.c_str(), Text(r.primaryStatus));
        std::fprintf(stderr, "zorvm_keytool: %s: %s: %s\n", cmd, o.standby.c_str(), Text(r.standbyStatus));
    } else {
        std::fprintf(stderr, "zorvm_keytool: %s: %s, %s: %s\n", cmd, o.primary.c_str(), o.standby.c_str(),
                     Text(rc));
    }
    return kExitFailure;
}

namespace {

// A store used despite one bad copy is worth a word: the next load restores it.
void NoteRestorable(const Options &o, const QintAdminReport &r)
{
    if (r.primaryStatus != 0 && r.standbyStatus == 0) {
        std::fprintf(stderr, "zorvm_keytool: note: %s: %s; used %s\n", o.primary.c_str(), Text(r.primaryStatus),
                     o.standby.c_str());
    } else if (r.standbyStatus != 0 && r.primaryStatus == 0) {
        std::fprintf(stderr, "zorvm_keytool: note: %s: %s; used %s\n", o.standby.c_str(), Text(r.standbyStatus),
                     o.primary.c_str());
    }
}

bool Load(const Options &o, std::vector<QintKeyInfo> &keys, QintStoreInfo &info, std::uint64_t &rc,
          QintAdminReport &r)
{
    const QintKeyFileName names = Names(o);
    std::uint32_t count = 0;
    rc = QintAdminListEx(&names, nullptr, 0, &count, &info, &r);
    if (rc != QINT_ERR_BUFFER_TOO_SMALL) {
        return rc == 0;
    }
    keys.resize(count);
    rc = QintAdminListEx(&names, keys.data(), count, &count, &info, &r);
    keys.resize(count);
    return rc == 0;
}

std::uint32_t ActiveKeyId(const std::vector<QintKeyInfo> &keys, std::uint32_t domain)
{
    for (const QintKeyInfo &k : keys) {
        if (k.domain == domain && k.state == QINT_KEY_ACTIVE) {
            return k.keyId;
        }
    }
    return 0;
}

} // namespace

int Create(const Options &o)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    const std::uint32_t type = o.hasProtect ? o.protect : QINT_PROTECT_HOST;
    const bool hadHostKey = HostKeyExists();
    const std::uint32_t flags = (o.force ? QINT_ADMIN_FORCE : 0) | (o.recovery ? QINT_ADMIN_RECOVERY : 0);
    const std::uint64_t rc = QintAdminCreateProtectedEx(&names, flags, type, &r);
    if (rc == QINT_ERR_EXISTS) {
        std::fprintf(stderr, "zorvm_keytool: create: %s: file already exists (use --force to overwrite)\n",
                     (r.failedFile == QINT_FILE_STANDBY ? o.standby : o.primary).c_str());
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    NoteHostKeyCreated(o, hadHostKey);
    PinAfterWrite(o, true);
    std::printf("created key store %s and %s: 37 domains, key id 1 active\n", o.primary.c_str(), o.standby.c_str());
    PrintSlots(o, stdout);
    return kExitOk;
}

int Rotate(const Options &o)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    const bool all = !o.hasDomain; // no domain named: rotate them all
    const std::uint32_t domain = all ? QINT_ALL_DOMAINS : o.domain;
    const std::uint64_t rc = QintAdminRotateEx(&names, domain, &r);
    if (rc == QINT_ERR_UNKNOWN_DOMAIN) {
        std::fprintf(stderr, "zorvm_keytool: rotate: domain %" PRIu32 " is not one of the 37 key domains\n",
                     o.domain);
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    NoteRestorable(o, r);
    PinAfterWrite(o, false);
    std::vector<QintKeyInfo> keys;
    QintStoreInfo info{};
    std::uint64_t lrc = 0;
    if (all) {
        std::printf("rotated the active key of all 37 domains\n");
    } else if (Load(o, keys, info, lrc, r)) {
        std::printf("rotated domain %" PRIu32 ": key id %" PRIu32 " is active\n", o.domain,
                    ActiveKeyId(keys, o.domain));
    } else {
        std::printf("rotated domain %" PRIu32 "\n", o.domain);
    }
    return kExitOk;
}

namespace {

void ListJson(const Options &o, const std::vector<QintKeyInfo> &keys, const QintStoreInfo &info, std::uint64_t rc)
{
    QintPairHealth h{};
    const QintKeyFileName names = Names(o);
    (void)QintAdminHealthEx(&names, &h);
    std::vector<QintSlotInfo> slots;
    (void)StoreSlots(o, slots);
    JsonWriter j;
    j.BeginObject();
    if (rc != 0) {
        j.Key("error").BeginObject().Field("code", rc).Field("cause", Text(rc)).EndObject();
    } else {
        j.Field("format", info.version).Field("update", info.updateCounter);
        j.Field("created", TimeText(info.created)).Field("updated", TimeText(info.updated)).Field("key_count", info.keyCount);
    }
    CopiesJson(o, h, j);
    SlotsJson(slots, j);
    j.Key("keys").BeginArray();
    for (const QintKeyInfo &k : keys) {
        j.BeginObject().Field("domain", k.domain).Field("key_id", k.keyId);
        j.Field("state", k.state == QINT_KEY_ACTIVE ? "active" : k.state == QINT_KEY_DISABLED ? "disabled" : "retired");
        j.Field("created", TimeText(k.created));
        j.EndObject();
    }
    std::printf("%s\n", j.EndArray().EndObject().Text().c_str());
}

} // namespace

int List(const Options &o)
{
    std::vector<QintKeyInfo> keys;
    QintStoreInfo info{};
    QintAdminReport r{};
    std::uint64_t rc = 0;
    const bool loaded = Load(o, keys, info, rc, r);
    if (o.json) {
        ListJson(o, loaded ? keys : std::vector<QintKeyInfo>{}, info, loaded ? 0 : rc);
    }
    if (!loaded) {
        return Fail(o, rc, r);
    }
    if (o.json) {
        return kExitOk;
    }
    NoteDamage(o, r);
    std::printf("key store %s: format %" PRIu32 ", update %" PRIu64 ", created %s, updated %s, %" PRIu32 " keys\n",
                o.primary.c_str(), info.version, info.updateCounter, TimeText(info.created).c_str(),
                TimeText(info.updated).c_str(), info.keyCount);
    PrintSlots(o, stdout);
    std::printf("%6s %6s  %-7s  %s\n", "domain", "key", "state", "created");
    for (const QintKeyInfo &k : keys) {
        std::printf("%6" PRIu32 " %6" PRIu32 "  %-7s  %s\n", k.domain, k.keyId,
                    k.state == QINT_KEY_ACTIVE ? "active" : k.state == QINT_KEY_DISABLED ? "disabled" : "retired",
                    TimeText(k.created).c_str());
    }
    return kExitOk;
}

int Backup(const Options &o)
{
    if (!MakeFolders(o, o.dir)) {
        return kExitFailure;
    }
    const std::string primary = o.dir + "/zorvm_primary_file.dat.membak";
    const std::string standby = o.dir + "/zorvm_standby_file.dat.membak";
    const QintKeyFileName names = Names(o);
    const QintKeyFileName target{primary.c_str(), standby.c_str(), nullptr};
    QintAdminReport r{};
    const std::uint64_t rc = QintAdminBackupEx(&names, &target, &r);
    if (rc == QINT_ERR_FILE_WRITE) {
        std::fprintf(stderr, "zorvm_keytool: backup: %s: %s\n",
                     (r.failedFile == QINT_FILE_PRIMARY ? primary : standby).c_str(), Text(rc));
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    NoteDamage(o, r);
    std::printf("backed up to %s and %s\n", primary.c_str(), standby.c_str());
    if (!HasRecoverySlot(o)) {
        std::fprintf(stderr, "zorvm_keytool: note: the copies have no recovery slot: they open only where this "
                             "store opens (this host key, this TPM)\n");
    }
    return kExitOk;
}

} // namespace keytool
