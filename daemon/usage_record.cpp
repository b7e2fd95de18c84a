#include "usage_record.h"

#include "replace_file.h"

#include "console_log.h"
#include "peer_identity.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brim {

namespace {

uint64_t Pair(uint32_t domain, uint32_t keyId) { return static_cast<uint64_t>(domain) << 32 | keyId; }

// systemd's StateDirectory= sets STATE_DIRECTORY to the folders it made,
// separated by colons; the first is this daemon's.
std::string StateFolder()
{
    const char *env = getenv("STATE_DIRECTORY");
    if (env == nullptr || *env == '\0') {
        return usage::kDefaultFolder;
    }
    std::string folder(env, strcspn(env, ":"));
    if (folder.empty() || folder[0] != '/') {
        PrintLog("Warn", "StartServer", __LINE__, "Ignored STATE_DIRECTORY: not an absolute path; kept %s.",
                 usage::kDefaultFolder);
        return usage::kDefaultFolder;
    }
    return folder;
}

std::string Escaped(const std::string &text)
{
    char out[300];
    EscapeForLog(text, out);
    return out;
}

int OpenFolder(const std::string &folder)
{
    return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

UsageRecord::UsageRecord() : folder_(StateFolder()) {}

void UsageRecord::Load(Millis now)
{
    nextWrite_ = now + kUsageEveryMillis;
    lastWrite_ = now;
    const int dirFd = OpenFolder(folder_);
    if (dirFd < 0) {
        return; // said by the first write
    }
    usage::Record record;
    std::string why;
    const usage::ReadStatus status = usage::ReadFileAt(dirFd, usage::kFileName, record, why);
    if (status == usage::ReadStatus::damaged) {
        const bool setAside = renameat(dirFd, usage::kFileName, dirFd, usage::kSetAsideName) == 0;
        PrintLog("Warn", "StartServer", __LINE__, "Key usage record {%s/%s} is damaged (%s): %s; counting starts afresh.",
                 Escaped(folder_).c_str(), usage::kFileName, Escaped(why).c_str(),
                 setAside ? "set aside as key-usage.damaged" : "could not be set aside");
    }
    (void)close(dirFd);
    counts_.reserve(record.entries.size() + 64);
    for (const usage::Entry &e : record.entries) {
        counts_[Pair(e.domain, e.keyId)] = Counts{e.answered, e.lastAnswered, e.refused, e.lastRefused};
    }
}

void UsageRecord::Count(uint32_t domain, uint32_t keyId, bool refused)
{
    const int64_t now = static_cast<int64_t>(time(nullptr));
    auto found = counts_.find(Pair(domain, keyId));
    if (found == counts_.end()) {
        // Only keys that are in the key store get here (a decryption
        // answered or refused by one), so this bound is never reached in
        // use; it keeps a record from outgrowing what it may hold.
        if (counts_.size() >= usage::kMaxEntries) {
            if (!overflowLogged_) {
                PrintLog("Warn", "StartServer", __LINE__, "Key usage record full (%zu keys): further keys not counted.",
                         usage::kMaxEntries);
                overflowLogged_ = true;
            }
            return;
        }
        found = counts_.emplace(Pair(domain, keyId), Counts{}).first;
    }
    Counts &c = found->second;
    if (refused) {
        ++c.refused;
        c.lastRefused = now;
    } else {
        ++c.answered;
        c.lastAnswered = now;
    }
    changed_ = true;
}

void UsageRecord::WriteIfDue(Millis now)
{
    if (now < nextWrite_) {
        return;
    }
    // Unchanged counts are written again only now and then, so the record
    // shows that the daemon is alive without wearing the disk.
    if (changed_ || now - lastWrite_ >= kUsageIdleEveryMillis) {
        Write();
        lastWrite_ = now;
    }
    nextWrite_ = now + kUsageEveryMillis;
}

void UsageRecord::LogWrite(int err, const char *step)
{
    if (err == lastError_) {
        return;
    }
    if (err == 0) {
        PrintLog("Warn", "StartServer", __LINE__, "Key usage record {%s/%s} written again.", Escaped(folder_).c_str(),
                 usage::kFileName);
    } else {
        PrintLog("Warn", "StartServer", __LINE__, "Failed to write the key usage record {%s/%s}: %s (%s).",
                 Escaped(folder_).c_str(), usage::kFileName, step, strerror(err));
    }
    lastError_ = err;
}

void UsageRecord::Write()
{
    std::string text;
    try {
        usage::Record record;
        record.written = static_cast<int64_t>(time(nullptr));
        record.entries.reserve(counts_.size());
        for (const auto &[pair, c] : counts_) {
            record.entries.push_back(usage::Entry{static_cast<uint32_t>(pair >> 32), static_cast<uint32_t>(pair),
                                                  c.answered, c.lastAnswered, c.refused, c.lastRefused});
        }
        text = usage::Format(std::move(record));
    } catch (const std::exception &) {
        LogWrite(ENOMEM, "format");
        return;
    }
    const int dirFd = OpenFolder(folder_);
    if (dirFd < 0) {
        LogWrite(errno, "open folder");
        return;
    }
    const ReplaceResult r = ReplaceFile(dirFd, usage::kFileName, text, 0640);
    if (r.step == nullptr) {
        changed_ = false;
    }
    (void)close(dirFd);
    LogWrite(r.error, r.step);
}

} // namespace brim
