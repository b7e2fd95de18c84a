#include "key_usage.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "crypto/unique_fd.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

constexpr std::size_t kMaxHostFile = 8u << 20;

std::uint64_t Pair(std::uint32_t domain, std::uint32_t keyId) { return std::uint64_t{domain} << 32 | keyId; }

void Merge(KeyUsage &out, std::uint32_t domain, std::uint32_t keyId, const KeyUse &use)
{
    KeyUse &k = out.keys[Pair(domain, keyId)];
    k.answered += use.answered;
    k.refused += use.refused;
    k.lastAnswered = std::max(k.lastAnswered, use.lastAnswered);
    k.lastRefused = std::max(k.lastRefused, use.lastRefused);
}

// The local record: a file in a folder, neither reached through a link at
// its last step nor writable by anyone but its owner.
void ReadRecord(KeyUsage &out)
{
    const std::string &path = out.recordPath;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const zorv::UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        out.record = usage::ReadStatus::missing;
        return;
    }
    struct stat st {};
    if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        out.record = usage::ReadStatus::damaged;
        out.recordProblem = "writable by group or others: not trusted";
        return;
    }
    usage::Record record;
    out.record = usage::ReadFileAt(dir.get(), name.c_str(), record, out.recordProblem);
    out.recordWritten = record.written;
    for (const usage::Entry &e : record.entries) {
        Merge(out, e.domain, e.keyId, KeyUse{e.answered, e.lastAnswered, e.refused, e.lastRefused});
    }
}

struct JsonFree {
    void operator()(json_object *j) const { json_object_put(j); }
};
using Json = std::unique_ptr<json_object, JsonFree>;

json_object *Member(json_object *o, const char *name, json_type type)
{
    json_object *m = nullptr;
    return o != nullptr && json_object_object_get_ex(o, name, &m) && json_object_is_type(m, type) ? m : nullptr;
}

// A count: a whole number of 0 or more.
bool Count(json_object *o, const char *name, std::int64_t &out)
{
    json_object *m = Member(o, name, json_type_int);
    errno = 0;
    out = m != nullptr ? json_object_get_int64(m) : -1;
    return m != nullptr && errno == 0 && out >= 0;
}

// A time as usage --json writes it, or null (never: 0).
bool Time(json_object *o, const char *name, std::int64_t &out)
{
    json_object *m = nullptr;
    out = 0;
    if (!json_object_object_get_ex(o, name, &m)) {
        return false;
    }
    return m == nullptr || (json_object_is_type(m, json_type_string) && ParseTimeText(json_object_get_string(m), out));
}

std::string ReadHostFile(const std::string &path, std::string &text)
{
    const zorv::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid()) {
        return errno == ELOOP ? "a symbolic link" : std::strerror(errno);
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return "not a regular file";
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxHostFile) {
        return "larger than a host's usage can be";
    }
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? std::strerror(errno) : "shorter than it was";
        }
        got += static_cast<std::size_t>(n);
    }
    return {};
}

// One host's 'usage --json'. "" or why it cannot be used.
std::string ReadHost(const std::string &path, const std::string &storeId, KeyUsage &out)
{
    std::string text;
    if (std::string why = ReadHostFile(path, text); !why.empty()) {
        return why;
    }
    json_tokener *tok = json_tokener_new_ex(8);
    if (tok == nullptr) {
        return "out of memory";
    }
    Json root(json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size())));
    const bool whole = json_tokener_get_error(tok) == json_tokener_success &&
                       json_tokener_get_parse_end(tok) == text.size();
    json_tokener_free(tok);
    json_object *format = Member(root.get(), "format", json_type_string);
    if (!whole || format == nullptr || std::strcmp(json_object_get_string(format), kUsageJsonFormat) != 0) {
        return "not the output of 'zorvm_keytool usage --json'";
    }
    json_object *store = Member(root.get(), "store_id", json_type_string);
    if (store == nullptr || storeId != json_object_get_string(store)) {
        return "the usage of another key store (store id " +
               std::string(store != nullptr ? json_object_get_string(store) : "?") + ", this one " + storeId + ")";
    }
    json_object *record = Member(root.get(), "record", json_type_object);
    json_object *status = Member(record, "status", json_type_string);
    HostUsage host{path, "?", 0};
    if (json_object *name = Member(root.get(), "host", json_type_string)) {
        host.host = json_object_get_string(name);
    }
    if (status == nullptr || std::strcmp(json_object_get_string(status), "ok") != 0) {
        return "host " + host.host + " had no usable usage record (" +
               (status != nullptr ? json_object_get_string(status) : "?") + ")";
    }
    json_object *keys = Member(root.get(), "keys", json_type_array);
    if (keys == nullptr || !Time(record, "written", host.written)) {
        return "not the output of 'zorvm_keytool usage --json'";
    }
    for (std::size_t i = 0; i < json_object_array_length(keys); ++i) {
        json_object *k = json_object_array_get_idx(keys, i);
        std::int64_t domain = 0, keyId = 0, answered = 0, lastUsed = 0, refused = 0, lastRefused = 0;
        if (!json_object_is_type(k, json_type_object) || !Count(k, "domain", domain) || !Count(k, "key_id", keyId) ||
            !Count(k, "answered", answered) || !Time(k, "last_used", lastUsed) ||
            !Count(k, "refused_disabled", refused) || !Time(k, "last_refused", lastRefused) ||
            domain > UINT32_MAX || keyId > UINT32_MAX) {
            return "key " + std::to_string(i + 1) + " is not a key's usage";
        }
        Merge(out, static_cast<std::uint32_t>(domain), static_cast<std::uint32_t>(keyId),
              KeyUse{static_cast<std::uint64_t>(answered), lastUsed, static_cast<std::uint64_t>(refused), lastRefused});
    }
    out.hosts.push_back(host);
    return {};
}

std::string Age(std::int64_t seconds)
{
    return seconds >= 2 * kDaySeconds ? std::to_string(seconds / kDaySeconds) + " days"
                                      : std::to_string(seconds / 3600) + " hours";
}

} // namespace

KeyUse KeyUsage::Of(std::uint32_t domain, std::uint32_t keyId) const
{
    const auto found = keys.find(Pair(domain, keyId));
    return found == keys.end() ? KeyUse{} : found->second;
}

std::string Hex(const StoreIdBytes &id)
{
    std::string text;
    for (const unsigned char b : id) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 0xf];
    }
    return text;
}

bool ReadStoreId(const Options &o, StoreIdBytes &id)
{
    const QintKeyFileName names{o.primary.c_str(), o.standby.c_str(), nullptr};
    QintAdminReport r{};
    std::uint64_t counter = 0;
    const std::uint64_t rc = QintAdminStoreIdEx(&names, id.data(), &counter, &r);
    if (rc != 0) {
        Fail(o, rc, r);
        return false;
    }
    return true;
}

bool GatherUsage(const Options &o, const StoreIdBytes &storeId, KeyUsage &out)
{
    out.recordPath = o.record.empty() ? std::string(usage::kDefaultFolder) + "/" + usage::kFileName : o.record;
    ReadRecord(out);
    if (out.record != usage::ReadStatus::ok) {
        out.keys.clear();
    }
    for (const std::string &file : o.usage) {
        if (const std::string why = ReadHost(file, Hex(storeId), out); !why.empty()) {
            std::fprintf(stderr, "zorvm_keytool: %s: %s: %s\n", o.command.c_str(), file.c_str(), why.c_str());
            return false;
        }
    }
    return true;
}

void NoteUsageGaps(const Options &o, const KeyUsage &usage, std::int64_t now)
{
    const char *cmd = o.command.c_str();
    const char *path = usage.recordPath.c_str();
    if (usage.record == usage::ReadStatus::missing && usage.hosts.empty()) {
        std::fprintf(stderr, "zorvm_keytool: %s: note: no usage record at %s (uds_decrypt_server writes it: is it "
                             "running here?)\n", cmd, path);
    } else if (usage.record == usage::ReadStatus::damaged) {
        std::fprintf(stderr, "zorvm_keytool: %s: note: usage record %s not used: %s\n", cmd, path,
                     usage.recordProblem.c_str());
    } else if (now - usage.recordWritten > kDaySeconds) {
        std::fprintf(stderr, "zorvm_keytool: %s: note: usage record %s was written %s ago, more than a day: is "
                             "uds_decrypt_server running?\n", cmd, path, Age(now - usage.recordWritten).c_str());
    }
    for (const HostUsage &h : usage.hosts) {
        if (now - h.written > kDaySeconds) {
            std::fprintf(stderr, "zorvm_keytool: %s: note: %s: the record of host %s was written %s ago, more than "
                                 "a day\n", cmd, h.file.c_str(), h.host.c_str(), Age(now - h.written).c_str());
        }
    }
}

bool ParseTimeText(const char *text, std::int64_t &t)
{
    std::tm tm{};
    const char *end = ::strptime(text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    t = static_cast<std::int64_t>(::timegm(&tm));
    return t > 0;
}

std::string TimeText(std::int64_t t)
{
    if (t == 0) {
        return "never";
    }
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    char text[32] = "?";
    if (::gmtime_r(&tt, &tm) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    }
    return text;
}

} // namespace keytool
