// The key lifecycle in the key tool: what each key is used for (usage),
// disabling and enabling a key, and removing the keys that are no longer
// needed (prune). Results go to standard output, failures and notes to
// standard error.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "json_writer.h"
#include "key_usage.h"
#include "keytool.h"
#include "zorv.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

QintKeyFileName Names(const Options &o) { return QintKeyFileName{o.primary.c_str(), o.standby.c_str(), nullptr}; }

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool LoadKeys(const Options &o, std::vector<QintKeyDetail> &keys)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    std::uint32_t count = 0;
    std::uint64_t rc = QintAdminKeyDetailsEx(&names, nullptr, 0, &count, &r);
    if (rc == QINT_ERR_BUFFER_TOO_SMALL) {
        keys.resize(count);
        rc = QintAdminKeyDetailsEx(&names, keys.data(), count, &count, &r);
        keys.resize(count);
    }
    if (rc != 0) {
        Fail(o, rc, r);
        return false;
    }
    // A store used despite one bad copy is worth a word: the next load restores it.
    if ((r.primaryStatus != 0) != (r.standbyStatus != 0)) {
        const bool primaryBad = r.primaryStatus != 0;
        std::fprintf(stderr, "zorvm_keytool: note: %s: %s; used %s\n", (primaryBad ? o.primary : o.standby).c_str(),
                     QintErrorTextEx(primaryBad ? r.primaryStatus : r.standbyStatus),
                     (primaryBad ? o.standby : o.primary).c_str());
    }
    return true;
}

const char *StateName(std::uint32_t state)
{
    return state == QINT_KEY_ACTIVE ? "primary" : state == QINT_KEY_DISABLED ? "disabled" : "retired";
}

std::string KeyName(std::uint32_t domain, std::uint32_t keyId)
{
    return "key " + std::to_string(keyId) + " of domain " + std::to_string(domain);
}

std::string HostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "?";
}

const char *RecordStatus(usage::ReadStatus s)
{
    return s == usage::ReadStatus::ok ? "ok" : s == usage::ReadStatus::missing ? "missing" : "damaged";
}

// A time as the other JSON output gives it, or null for none.
JsonWriter &TimeField(JsonWriter &j, const char *name, std::int64_t t)
{
    j.Key(name);
    return t == 0 ? j.Null() : j.String(TimeText(t));
}

int PrintJson(const Options &o, const StoreIdBytes &id, const std::vector<QintKeyDetail> &keys, const KeyUsage &use)
{
    JsonWriter j;
    j.BeginObject().Field("format", kUsageJsonFormat).Field("host", HostName()).Field("store", o.primary);
    j.Field("store_id", Hex(id));
    TimeField(j, "generated", Now());
    j.Key("record").BeginObject().Field("path", use.recordPath).Field("status", RecordStatus(use.record));
    TimeField(j, "written", use.recordWritten);
    j.Key("problem");
    (use.recordProblem.empty() ? j.Null() : j.String(use.recordProblem)).EndObject();
    j.Key("keys").BeginArray();
    for (const QintKeyDetail &k : keys) {
        const KeyUse u = use.Of(k.domain, k.keyId);
        j.BeginObject().Field("domain", k.domain).Field("key_id", k.keyId).Field("state", StateName(k.state));
        TimeField(j, "created", k.created);
        TimeField(j, "state_changed", k.changed);
        j.Field("answered", u.answered);
        TimeField(j, "last_used", u.lastAnswered);
        j.Field("refused_disabled", u.refused);
        TimeField(j, "last_refused", u.lastRefused).EndObject();
    }
    std::printf("%s\n", j.EndArray().EndObject().Text().c_str());
    return kExitOk;
}

// Why a key may go, or why it stays, by the rules of prune.
struct Verdict {
    bool goes = false;
    std::string why;
};

std::string DaysAgo(std::int64_t now, std::int64_t t)
{
    const std::int64_t days = (now - t) / kDaySeconds;
    return TimeText(t) + " (" + std::to_string(days) + (days == 1 ? " day ago)" : " days ago)");
}

// A use, or a refused use, within the last `days` days keeps a key.
bool RecentlyUsed(const KeyUse &u, std::int64_t cutoff, std::int64_t now, std::string &why)
{
    if (u.lastAnswered > cutoff) {
        why = "used " + DaysAgo(now, u.lastAnswered);
        return true;
    }
    if (u.lastRefused > cutoff) {
        why = "disabled, but asked for " + DaysAgo(now, u.lastRefused) + ": cipher texts under it are still in use";
        return true;
    }
    return false;
}

Verdict Judge(const QintKeyDetail &k, const KeyUse &u, std::uint32_t days, std::int64_t now)
{
    const std::int64_t cutoff = now - std::int64_t{days} * kDaySeconds;
    Verdict v;
    if (k.state == QINT_KEY_ACTIVE) {
        v.why = "the domain's primary key";
    } else if (k.state != QINT_KEY_DISABLED) {
        v.why = "retired, not disabled (disable it first)";
    } else if (k.changed == 0 || k.changed > cutoff) {
        v.why = "disabled " + DaysAgo(now, k.changed) + ", less than " + std::to_string(days) + " days";
    } else if (!RecentlyUsed(u, cutoff, now, v.why)) {
        v.goes = true;
        v.why = "disabled " + DaysAgo(now, k.changed) + ", last used " +
                (u.lastAnswered == 0 ? std::string("never (as recorded)") : DaysAgo(now, u.lastAnswered));
    }
    return v;
}

// The --keep N rule of earlier versions: all but the N newest non-active
// keys per domain go, by count alone; a use the usage record knows of is
// named with a warning.
std::vector<Verdict> JudgeByCount(const std::vector<QintKeyDetail> &keys, const KeyUsage &use, const Options &o,
                                  std::int64_t now)
{
    std::vector<Verdict> verdicts(keys.size());
    const std::int64_t cutoff = now - std::int64_t{o.unusedDays} * kDaySeconds;
    // keys come sorted by domain, then ascending key id: newest last.
    for (std::size_t end = keys.size(); end > 0;) {
        std::size_t begin = end;
        while (begin > 0 && keys[begin - 1].domain == keys[end - 1].domain) {
            --begin;
        }
        std::uint32_t kept = 0;
        for (std::size_t i = end; i > begin; --i) {
            const QintKeyDetail &k = keys[i - 1];
            Verdict &v = verdicts[i - 1];
            if (k.state == QINT_KEY_ACTIVE) {
                v.why = "the domain's primary key";
            } else if (kept < o.keep) {
                ++kept;
                v.why = "one of the " + std::to_string(o.keep) + " newest retired keys of its domain";
            } else {
                v.goes = true;
                v.why = "beyond the " + std::to_string(o.keep) + " newest retired keys of its domain";
                std::string used;
                if (RecentlyUsed(use.Of(k.domain, k.keyId), cutoff, now, used)) {
                    v.why += "; warning: " + used;
                }
            }
        }
        end = begin;
    }
    return verdicts;
}

int SetState(const Options &o, std::uint32_t state)
{
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    std::uint32_t previous = 0;
    const std::uint64_t rc = QintAdminSetKeyStateEx(&names, o.domain, o.keyId, state, &previous, &r);
    const std::string key = KeyName(o.domain, o.keyId);
    const char *cmd = o.command.c_str();
    switch (rc) {
    case 0:
        break;
    case QINT_ERR_UNKNOWN_DOMAIN:
        std::fprintf(stderr, "zorvm_keytool: %s: domain %" PRIu32 " is not one of the 37 key domains\n", cmd,
                     o.domain);
        return kExitFailure;
    case QINT_ERR_UNKNOWN_KEY_ID:
        std::fprintf(stderr, "zorvm_keytool: %s: there is no %s in %s\n", cmd, key.c_str(), o.primary.c_str());
        return kExitFailure;
    case QINT_ERR_KEY_ACTIVE:
        std::fprintf(stderr, "zorvm_keytool: %s: %s is the domain's primary key: it cannot be disabled (rotate "
                             "first)\n", cmd, key.c_str());
        return kExitFailure;
    default:
        return Fail(o, rc, r);
    }
    if (previous == state) {
        std::printf("%s was %s already; nothing changed\n", key.c_str(), state == QINT_KEY_DISABLED ? "disabled" :
                                                                                                    "enabled");
        return kExitOk;
    }
    PinAfterWrite(o, false);
    if (state == QINT_KEY_RETIRED) {
        std::printf("enabled %s: it decrypts again\n", key.c_str());
        return kExitOk;
    }
    std::printf("disabled %s: every decryption with it now fails (\"key disabled\"); 'enable' undoes it\n",
                key.c_str());
    StoreIdBytes id{};
    KeyUsage use;
    if (ReadStoreId(o, id) && GatherUsage(o, id, use) && use.Known()) {
        const KeyUse u = use.Of(o.domain, o.keyId);
        if (u.lastAnswered != 0) {
            std::fprintf(stderr, "zorvm_keytool: disable: note: %s was last used %s: cipher texts under it may "
                                 "still be in use (rewrap them)\n", key.c_str(), DaysAgo(Now(), u.lastAnswered).c_str());
        }
    }
    return kExitOk;
}

} // namespace

// What usage and prune start from: the store's keys and identity, and the
// usage gathered for it, with what is missing from that usage said once.
struct KeysInUse {
    std::vector<QintKeyDetail> keys;
    StoreIdBytes id{};
    KeyUsage use;
    std::int64_t now = 0;

    bool Load(const Options &o)
    {
        if (!LoadKeys(o, keys) || !ReadStoreId(o, id) || !GatherUsage(o, id, use)) {
            return false;
        }
        now = Now();
        NoteUsageGaps(o, use, now);
        return true;
    }
};

int Usage(const Options &o)
{
    KeysInUse state;
    if (!state.Load(o)) {
        return kExitFailure;
    }
    const auto &keys = state.keys;
    const auto &id = state.id;
    const auto &use = state.use;
    if (o.json) {
        return PrintJson(o, id, keys, use);
    }
    std::printf("key store %s (store id %s)\n", o.primary.c_str(), Hex(id).c_str());
    if (use.record == usage::ReadStatus::ok) {
        std::printf("usage record %s, written %s\n", use.recordPath.c_str(), TimeText(use.recordWritten).c_str());
    }
    for (const HostUsage &h : use.hosts) {
        std::printf("usage of host %s (%s), written %s\n", h.host.c_str(), h.file.c_str(), TimeText(h.written).c_str());
    }
    std::printf("%6s %6s  %-8s  %-20s  %-20s  %10s  %8s\n", "domain", "key", "state", "created", "last used",
                "answered", "refused");
    for (const QintKeyDetail &k : keys) {
        const KeyUse u = use.Of(k.domain, k.keyId);
        std::printf("%6" PRIu32 " %6" PRIu32 "  %-8s  %-20s  %-20s  %10" PRIu64 "  %8" PRIu64 "\n", k.domain, k.keyId,
                    StateName(k.state), TimeText(k.created).c_str(), TimeText(u.lastAnswered).c_str(), u.answered,
                    u.refused);
    }
    return kExitOk;
}

int Disable(const Options &o) { return SetState(o, QINT_KEY_DISABLED); }

int Enable(const Options &o) { return SetState(o, QINT_KEY_RETIRED); }

int Prune(const Options &o)
{
    KeysInUse state;
    if (!state.Load(o)) {
        return kExitFailure;
    }
    const auto &keys = state.keys;
    const auto &use = state.use;
    const std::int64_t now = state.now;
    const bool byCount = o.hasKeep;
    if (use.record == usage::ReadStatus::damaged && use.hosts.empty()) {
        std::fprintf(stderr, "zorvm_keytool: prune: the usage record %s cannot be trusted; nothing removed\n",
                     use.recordPath.c_str());
        return kExitFailure;
    }
    if (!use.Known()) {
        if (!byCount) {
            std::fprintf(stderr, "zorvm_keytool: prune: no usage record tells whether a key is still used; nothing "
                                 "removed (give each host's 'usage --json' with --usage FILE, or use --keep N)\n");
            return kExitFailure;
        }
        std::fprintf(stderr, "zorvm_keytool: prune: warning: no usage record: --keep %" PRIu32 " removes keys by "
                             "count alone, whether or not cipher texts under them are still in use\n", o.keep);
    }
    const std::vector<Verdict> verdicts =
        byCount ? JudgeByCount(keys, use, o, now) : [&] {
            std::vector<Verdict> v;
            for (const QintKeyDetail &k : keys) {
                v.push_back(Judge(k, use.Of(k.domain, k.keyId), o.unusedDays, now));
            }
            return v;
        }();
    std::vector<QintKeyId> going;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (verdicts[i].goes) {
            going.push_back(QintKeyId{keys[i].domain, keys[i].keyId});
        }
        if (o.dryRun) {
            std::printf("%-6s %s: %s\n", verdicts[i].goes ? "goes" : "stays", KeyName(keys[i].domain, keys[i].keyId).c_str(),
                        verdicts[i].why.c_str());
        }
    }
    if (o.dryRun) {
        std::printf("dry run: %zu key(s) would be removed; nothing written\n", going.size());
        return kExitOk;
    }
    const QintKeyFileName names = Names(o);
    QintAdminReport r{};
    std::uint32_t failed = 0;
    // Removal checks again that each key is (still) not active and, without
    // --keep, disabled since the cut-off: a change meanwhile removes nothing.
    const std::int64_t disabledBefore = byCount ? 0 : now - std::int64_t{o.unusedDays} * kDaySeconds;
    const std::uint64_t rc = QintAdminRemoveKeysEx(&names, going.data(), static_cast<std::uint32_t>(going.size()),
                                                   disabledBefore == 0 ? 0 : std::max<std::int64_t>(disabledBefore, 1),
                                                   &failed, &r);
    if (rc == QINT_ERR_KEY_STATE || rc == QINT_ERR_KEY_ACTIVE || rc == QINT_ERR_UNKNOWN_KEY_ID) {
        std::fprintf(stderr, "zorvm_keytool: prune: %s changed meanwhile (%s); nothing removed\n",
                     KeyName(going[failed].domain, going[failed].keyId).c_str(), QintErrorTextEx(rc));
        return kExitFailure;
    }
    if (rc != 0) {
        return Fail(o, rc, r);
    }
    if (!going.empty()) {
        PinAfterWrite(o, false);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (verdicts[i].goes) {
            std::printf("removed %s: %s\n", KeyName(keys[i].domain, keys[i].keyId).c_str(), verdicts[i].why.c_str());
        }
    }
    if (byCount) {
        std::printf("removed %zu retired key(s); at most %" PRIu32 " retired per domain remain\n", going.size(),
                    o.keep);
    } else {
        std::printf("removed %zu key(s); %zu stay (--dry-run says why)\n", going.size(), keys.size() - going.size());
    }
    return kExitOk;
}

} // namespace keytool
