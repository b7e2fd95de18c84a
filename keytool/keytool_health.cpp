// The health of the store: verify (each copy, each slot, what the service
// user can read, one verdict in the exit status), repair, and the word the
// read-only commands say about a damaged copy.
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_writer.h"
#include "keytool.h"
#include "service_access.h"
#include "trust/host_config.h"
#include "trust/pkcs11_config.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

constexpr const char *kDefaultServiceUser = "zorva";
constexpr const char *kDefaultTpmDevice = "/dev/tpmrm0";
constexpr const char *kRepairHint = "run 'zorvm_keytool repair'";

QintKeyFileName Names(const Options &o) { return QintKeyFileName{o.primary.c_str(), o.standby.c_str(), nullptr}; }

struct Copy {
    const char *role;
    const std::string &path;
    const QintCopyHealth &health;
    bool inUse;
    const std::string &otherPath;
    const QintCopyHealth &other;
};

std::vector<Copy> Copies(const Options &o, const QintPairHealth &h)
{
    return {{"primary", o.primary, h.primary, h.inUse == QINT_FILE_PRIMARY, o.standby, h.standby},
            {"standby", o.standby, h.standby, h.inUse == QINT_FILE_STANDBY, o.primary, h.primary}};
}

// The stable names of verdicts and damage places (--json, documented).
const char *StateName(std::uint32_t verdict)
{
    switch (verdict) {
    case QINT_COPY_HEALTHY: return "healthy";
    case QINT_COPY_STALE: return "stale";
    case QINT_COPY_DAMAGED: return "damaged";
    case QINT_COPY_MISSING: return "missing";
    case QINT_COPY_UNREADABLE: return "unreadable";
    case QINT_COPY_FOREIGN: return "foreign";
    default: return "locked";
    }
}

const char *WhereName(std::uint32_t damage)
{
    switch (damage) {
    case QINT_DAMAGE_HEADER: return "header";
    case QINT_DAMAGE_SLOT: return "slot";
    case QINT_DAMAGE_INDEX: return "index";
    case QINT_DAMAGE_MAC: return "mac";
    case QINT_DAMAGE_LENGTH: return "length";
    default: return nullptr;
    }
}

std::string DamageText(const QintCopyHealth &c)
{
    switch (c.damage) {
    case QINT_DAMAGE_SLOT: return "damaged (slot " + std::to_string(c.slotId) + ")";
    case QINT_DAMAGE_INDEX: return "damaged (key index)";
    case QINT_DAMAGE_MAC: return "damaged (MAC)";
    case QINT_DAMAGE_LENGTH: return "damaged (truncated or extended)";
    default: return "damaged (header)";
    }
}

// What is wrong with a copy, in one phrase; empty for a healthy one.
std::string Problem(const Copy &c)
{
    const QintCopyHealth &h = c.health;
    switch (h.verdict) {
    case QINT_COPY_HEALTHY: return {};
    case QINT_COPY_STALE:
        return "differs from " + c.otherPath + " (update " + std::to_string(h.counter) + " against " +
               std::to_string(c.other.counter) + ")";
    case QINT_COPY_DAMAGED: return DamageText(h);
    case QINT_COPY_LOCKED: {
        std::string why = std::string("does not open here: ") + QintErrorTextEx(h.status);
        if (h.status == QINT_ERR_HOST_KEY_MISSING || h.status == QINT_ERR_HOST_KEY_BAD) {
            why += std::string(" (") + QintHostKeyFileEx() + (h.detail[0] != '\0' ? ": " : "") + h.detail + ")";
        } else if (h.detail[0] != '\0') {
            why += std::string(" (") + h.detail + ")";
        }
        return why;
    }
    default: return QintErrorTextEx(h.status) + (h.detail[0] != '\0' ? std::string(" (") + h.detail + ")" : "");
    }
}

void CopyJson(const Copy &c, JsonWriter &j)
{
    const QintCopyHealth &h = c.health;
    const std::string problem = Problem(c);
    j.BeginObject().Field("role", c.role).Field("path", c.path).Field("state", StateName(h.verdict));
    j.Field("where", WhereName(h.damage));
    j.Key("slot");
    h.damage == QINT_DAMAGE_SLOT ? j.Unsigned(h.slotId) : j.Null();
    j.Key("update");
    h.counter != 0 ? j.Unsigned(h.counter) : j.Null();
    j.Field("in_use", c.inUse).Field("code", h.status);
    j.Field("cause", problem.empty() ? nullptr : problem.c_str());
    j.Field("detail", h.detail[0] != '\0' ? h.detail : nullptr);
    j.EndObject();
}

// What the service needs to read, and whether the service user can.
struct Access {
    std::string what;
    std::string path;
    Want want;
    std::string problem; // empty: it can
};

bool SlotsNeed(const std::vector<QintSlotInfo> &slots, std::uint32_t needs)
{
    for (const QintSlotInfo &s : slots) {
        if ((SlotTypeNeeds(s.type) & needs) != 0) {
            return true;
        }
    }
    return false;
}

bool Exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The TPM device the service opens, or "" when the configured transport is
// not a device (a simulator: nothing to check).
std::string TpmDevice()
{
    const char *tcti = std::getenv("ZORVA_TPM2_TCTI");
    if (tcti == nullptr || tcti[0] == '\0') {
        return kDefaultTpmDevice;
    }
    const std::string conf = tcti;
    return conf.rfind("device:", 0) == 0 ? conf.substr(7) : conf == "device" ? kDefaultTpmDevice : "";
}

std::vector<Access> ServiceAccess(const Options &o, const ServiceUser &user, const std::vector<QintSlotInfo> &slots)
{
    std::vector<Access> out;
    const auto add = [&](const std::string &what, const std::string &path, Want want, bool secret) {
        std::string problem = AccessProblem(user, path, want);
        if (problem.empty() && secret) {
            problem = PrivateFileProblem(user, path);
        }
        out.push_back({what, path, want, problem});
    };
    for (const std::string *path : {&o.primary, &o.standby}) {
        if (Exists(*path)) {
            add(path == &o.primary ? "primary" : "standby", *path, Want::read, false);
        }
    }
    if (SlotsNeed(slots, QINT_NEEDS_HOST_KEY)) {
        add("host key", QintHostKeyFileEx(), Want::read, true);
    }
    if (const std::string device = TpmDevice(); SlotsNeed(slots, QINT_NEEDS_TPM) && !device.empty()) {
        add("TPM device", device, Want::readWrite, false);
    }
    const std::string config = zorv::HostConfigDir() + "/";
    if (Exists(config + zorv::kStorePinFile)) {
        add("host configuration", config + zorv::kStorePinFile, Want::read, false);
    }
    if (SlotsNeed(slots, QINT_NEEDS_TOKEN)) {
        if (Exists(config + zorv::kPkcs11ConfigFile)) {
            add("host configuration", config + zorv::kPkcs11ConfigFile, Want::read, false);
        }
        for (const zorv::Pkcs11Entry &e : zorv::ReadPkcs11Config().entries) {
            if (e.pinSource.rfind("file:", 0) == 0) {
                add("token PIN", e.pinSource.substr(5), Want::read, true);
            }
        }
    }
    return out;
}

enum Verdict { kHealthy, kServingDamaged, kNotServing };

constexpr int kExitServingDamaged = 3;

struct Report {
    QintPairHealth health{};
    std::vector<QintSlotInfo> slots;
    bool haveUser = false;
    ServiceUser user;
    std::vector<Access> access;
    std::vector<std::string> problems; // why the verdict is not "healthy"
    Verdict verdict = kHealthy;
};

// Whether the service, which has no passphrase, can open the store: a slot
// opens here that needs none (or the built-in key of a format-1 store).
bool ServiceOpens(const std::vector<QintSlotInfo> &slots)
{
    for (const QintSlotInfo &s : slots) {
        if (s.status == 0 && (SlotTypeNeeds(s.type) & QINT_NEEDS_PASSPHRASE) == 0) {
            return true;
        }
    }
    return false;
}

bool Judge(const Options &o, Report &r)
{
    const QintKeyFileName names = Names(o);
    if (const std::uint64_t rc = QintAdminHealthEx(&names, &r.health); rc != 0) {
        std::fprintf(stderr, "zorvm_keytool: verify: %s\n", QintErrorTextEx(rc));
        return false;
    }
    (void)StoreSlots(o, r.slots);
    const bool primaryAccepted = KeepsPathRule(o.primary);
    const bool pathsAccepted = KeepsPathRule(o.standby) && primaryAccepted;
    const bool opens = r.health.inUse != QINT_FILE_NONE;
    for (const Copy &c : Copies(o, r.health)) {
        if (const std::string p = Problem(c); !p.empty()) {
            r.problems.push_back(c.path + ": " + p);
        }
    }
    if (!pathsAccepted) {
        r.problems.push_back("the agent refuses the paths (see above)");
    }
    if (opens && !ServiceOpens(r.slots)) {
        r.problems.push_back("only a recovery slot opens the store here, and the service has no passphrase: bind it "
                             "to this host with 'zorvm_keytool protect add host'");
    }
    const std::string userName = o.serviceUser.empty() ? kDefaultServiceUser : o.serviceUser;
    r.haveUser = FindServiceUser(userName, r.user);
    if (!r.haveUser && !o.serviceUser.empty()) {
        std::fprintf(stderr, "zorvm_keytool: verify: --service-user: no user '%s'\n", o.serviceUser.c_str());
        return false;
    }
    if (r.haveUser) {
        r.access = ServiceAccess(o, r.user, r.slots);
        for (const Access &a : r.access) {
            if (!a.problem.empty()) {
                r.problems.push_back("service user " + r.user.name + " cannot " +
                                     (a.want == Want::read ? "read" : "open") + " the " + a.what + ": " + a.problem);
            }
        }
    }
    const bool serving = opens && pathsAccepted && ServiceOpens(r.slots);
    r.verdict = !serving ? kNotServing : r.problems.empty() ? kHealthy : kServingDamaged;
    return true;
}

int ExitOf(Verdict v) { return v == kHealthy ? kExitOk : v == kServingDamaged ? kExitServingDamaged : kExitFailure; }

bool Repairable(const QintPairHealth &h)
{
    const QintCopyHealth &bad = h.inUse == QINT_FILE_STANDBY ? h.primary : h.standby;
    return h.inUse != QINT_FILE_NONE &&
           (bad.verdict == QINT_COPY_STALE || bad.verdict == QINT_COPY_DAMAGED || bad.verdict == QINT_COPY_MISSING);
}

void VerifyJson(const Options &o, const Report &r)
{
    static constexpr const char *kVerdicts[] = {"healthy", "serving-damaged", "not-serving"};
    JsonWriter j;
    j.BeginObject().Field("verdict", kVerdicts[r.verdict]).Field("exit", ExitOf(r.verdict));
    CopiesJson(o, r.health, j);
    SlotsJson(r.slots, j);
    j.Key("service_user");
    if (r.haveUser) {
        j.BeginObject().Field("name", r.user.name).Field("uid", static_cast<std::uint64_t>(r.user.uid)).EndObject();
    } else {
        j.Null();
    }
    j.Key("access").BeginArray();
    for (const Access &a : r.access) {
        j.BeginObject().Field("what", a.what).Field("path", a.path);
        j.Field("want", a.want == Want::read ? "read" : "read-write").Field("ok", a.problem.empty());
        j.Field("problem", a.problem.empty() ? nullptr : a.problem.c_str()).EndObject();
    }
    j.EndArray().Key("problems").BeginArray();
    for (const std::string &p : r.problems) {
        j.String(p);
    }
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
}

} // namespace

void CopiesJson(const Options &o, const QintPairHealth &h, JsonWriter &j)
{
    j.Key("copies").BeginArray();
    for (const Copy &c : Copies(o, h)) {
        CopyJson(c, j);
    }
    j.EndArray();
}

bool NoteDamage(const Options &o, const QintAdminReport &r)
{
    if (r.primaryStatus == 0 && r.standbyStatus == 0 && r.primaryCounter == r.standbyCounter) {
        return false;
    }
    QintPairHealth h{};
    const QintKeyFileName names = Names(o);
    if (QintAdminHealthEx(&names, &h) != 0 || h.inUse == QINT_FILE_NONE) {
        return false;
    }
    bool noted = false;
    for (const Copy &c : Copies(o, h)) {
        if (const std::string p = Problem(c); !p.empty()) {
            std::fprintf(stderr, "zorvm_keytool: note: %s: %s; used %s%s%s\n", c.path.c_str(), p.c_str(),
                         c.otherPath.c_str(), Repairable(h) ? ": " : "", Repairable(h) ? kRepairHint : "");
            noted = true;
        }
    }
    return noted;
}

int Verify(const Options &o)
{
    Report r;
    if (!Judge(o, r)) {
        return kExitFailure;
    }
    if (o.json) {
        VerifyJson(o, r);
        return ExitOf(r.verdict);
    }
    for (const Copy &c : Copies(o, r.health)) {
        if (c.health.verdict == QINT_COPY_HEALTHY) {
            std::printf("%s: healthy (update %" PRIu64 ")%s\n", c.path.c_str(), c.health.counter,
                        c.inUse ? ", in use" : "");
        }
    }
    PrintSlots(o, stdout);
    if (r.haveUser && r.verdict != kNotServing) {
        bool all = true;
        for (const Access &a : r.access) {
            all &= a.problem.empty();
        }
        if (all) {
            std::printf("service user %s can read what it needs (%zu files)\n", r.user.name.c_str(),
                        r.access.size());
        }
    } else if (!r.haveUser) {
        std::printf("no service user checked (no user %s; name one with --service-user USER)\n",
                    kDefaultServiceUser);
    }
    for (const std::string &p : r.problems) {
        std::fprintf(stderr, "zorvm_keytool: verify: %s\n", p.c_str());
    }
    switch (r.verdict) {
    case kHealthy:
        std::printf("key store healthy: both copies valid and equal\n");
        break;
    case kServingDamaged:
        std::fprintf(stderr, "zorvm_keytool: verify: served, but not healthy%s%s\n",
                     Repairable(r.health) ? ": " : "", Repairable(r.health) ? kRepairHint : "");
        break;
    case kNotServing:
        std::fprintf(stderr, "zorvm_keytool: verify: no copy of the store can be served here\n");
        break;
    }
    return ExitOf(r.verdict);
}

int Repair(const Options &o)
{
    // A copy made anew belongs to the owner of the other one (the service's
    // user, say), unless --owner says otherwise.
    struct stat primary {}, standby {};
    const bool primaryThere = ::stat(o.primary.c_str(), &primary) == 0;
    const bool standbyThere = ::stat(o.standby.c_str(), &standby) == 0;
    if (o.owner.empty() && primaryThere != standbyThere &&
        !SetFileOwner(std::to_string((primaryThere ? primary : standby).st_uid))) {
        return kExitFailure;
    }
    const QintKeyFileName names = Names(o);
    QintPairHealth h{};
    std::uint32_t repaired = QINT_FILE_NONE;
    const std::uint64_t rc = QintAdminRepairEx(&names, &repaired, &h);
    const std::vector<Copy> copies = Copies(o, h);
    if (rc == 0 && repaired == QINT_FILE_NONE) {
        std::printf("nothing to repair: both copies healthy and equal\n");
        return kExitOk;
    }
    if (rc == 0) {
        const Copy &bad = copies[repaired == QINT_FILE_PRIMARY ? 0 : 1];
        const Copy &good = copies[repaired == QINT_FILE_PRIMARY ? 1 : 0];
        std::printf("rewrote %s from %s (it was: %s)\n", bad.path.c_str(), good.path.c_str(), Problem(bad).c_str());
        return kExitOk;
    }
    if (h.inUse == QINT_FILE_NONE) {
        for (const Copy &c : copies) {
            std::fprintf(stderr, "zorvm_keytool: repair: %s: %s\n", c.path.c_str(), Problem(c).c_str());
        }
        std::fprintf(stderr, "zorvm_keytool: repair: no copy to repair from (%s)\n", QintErrorTextEx(rc));
        return kExitFailure;
    }
    const Copy &bad = copies[h.inUse == QINT_FILE_PRIMARY ? 1 : 0];
    const Copy &good = copies[h.inUse == QINT_FILE_PRIMARY ? 0 : 1];
    std::fprintf(stderr, "zorvm_keytool: repair: %s: %s\n", bad.path.c_str(), Problem(bad).c_str());
    if (rc == QINT_ERR_FILE_WRITE || rc == QINT_ERR_FILE_READ) {
        std::fprintf(stderr, "zorvm_keytool: repair: %s: %s\n", bad.path.c_str(), QintErrorTextEx(rc));
    } else if (bad.health.verdict == QINT_COPY_LOCKED) {
        std::fprintf(stderr, "zorvm_keytool: repair: %s claims to be newer than %s (update %" PRIu64 " against %" PRIu64
                             "): it may be a newer store written elsewhere; left as it is (move it away to repair)\n",
                     bad.path.c_str(), good.path.c_str(), bad.health.counter, good.health.counter);
    } else {
        std::fprintf(stderr, "zorvm_keytool: repair: never overwrites a copy of another store; left as it is "
                             "(move it away to repair)\n");
    }
    return kExitFailure;
}

} // namespace keytool
