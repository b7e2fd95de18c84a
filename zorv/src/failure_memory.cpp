#include "failure_memory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "failure_detail.h"
#include "trust/host_config.h"

namespace zorv {
namespace {

struct Memory {
    std::mutex mutex;
    bool held = false;
    std::string primary, standby;
    std::string stamps;
    LoadReport report;
};

Memory &M()
{
    static Memory m;
    return m;
}

void AddStamp(std::string &out, const std::string &path)
{
    struct stat st {};
    const bool found = ::lstat(path.c_str(), &st) == 0;
    const long long fields[] = {
        found ? 0 : errno, static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
        static_cast<long long>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
        st.st_ctim.tv_nsec, static_cast<long long>(st.st_mode), static_cast<long long>(st.st_uid),
        static_cast<long long>(st.st_gid),
    };
    out += path;
    out.append(reinterpret_cast<const char *>(fields), sizeof fields);
}

// Everything a load of the pair depends on that a file can change.
std::string Stamps(const PairPaths &paths, const Unlock &unlock, const std::vector<std::string> &watched)
{
    std::string out;
    const std::string config = HostConfigDir();
    for (const std::string &path : {paths.primary, paths.standby, unlock.hostKeyPath, config,
                                    config + "/" + kStorePinFile, config + "/" + kPkcs11ConfigFile}) {
        AddStamp(out, path);
    }
    for (const std::string &path : watched) {
        AddStamp(out, path);
    }
    return out;
}

// Only loads made with nothing but the host's own means are remembered: a
// passphrase or a PIN handed in by a caller may be another one next time.
bool Rememberable(const Unlock &unlock) { return !unlock.hasPassphrase && !unlock.hasPkcs11Pin; }

std::vector<std::string> g_watched; // guarded by M().mutex: the files the remembered failure read

} // namespace

bool RecallFailure(const PairPaths &paths, const Unlock &unlock, LoadReport &report)
{
    Memory &m = M();
    std::lock_guard guard(m.mutex);
    if (!m.held || !Rememberable(unlock) || m.primary != paths.primary || m.standby != paths.standby ||
        Stamps(paths, unlock, g_watched) != m.stamps) {
        return false;
    }
    const std::uint64_t sequence = report.sequence;
    report = m.report;
    report.fresh = false;
    report.sequence = sequence;
    return true;
}

void RememberLoad(const PairPaths &paths, const Unlock &unlock, const LoadReport &report)
{
    Memory &m = M();
    std::lock_guard guard(m.mutex);
    m.held = report.permanent && Rememberable(unlock);
    if (!m.held) {
        g_watched.clear();
        return;
    }
    g_watched = WatchedFiles();
    m.primary = paths.primary;
    m.standby = paths.standby;
    m.stamps = Stamps(paths, unlock, g_watched);
    m.report = report;
}

} // namespace zorv
