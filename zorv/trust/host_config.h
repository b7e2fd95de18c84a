// The host's own configuration: one folder (default /etc/zorva, or the
// absolute path in ZORVA_HOST_CONFIG) of small text files that only root's
// key tool writes. It says what the host trusts: which store it serves
// (store), whose exports it imports (trusted-admins), which PKCS#11 modules
// and PIN sources it uses (pkcs11). Nothing in a store file, a backup or a
// carried folder can add to it.
//
// A file is read only when nobody but root (or the reading user) could have
// written it: every folder from / down to it belongs to root or the reading
// user and is not writable by group or others (a root-owned folder with the
// sticky bit, such as /tmp, is allowed above it), no part of the path is a
// symbolic link, and the file itself is a regular file of that owner, not
// writable by group or others, of at most 64 KiB.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorv {

constexpr const char *kDefaultHostConfigDir = "/etc/zorva";
constexpr const char *kHostConfigEnvironment = "ZORVA_HOST_CONFIG";

constexpr const char *kStorePinFile = "store";
constexpr const char *kTrustedAdminsFile = "trusted-admins";
constexpr const char *kPkcs11ConfigFile = "pkcs11";

// The folder in effect.
std::string HostConfigDir();

enum class ConfigStatus { ok, missing, unsafe, unreadable };

struct ConfigText {
    ConfigStatus status = ConfigStatus::missing;
    std::string path;   // the file's full path
    std::string detail; // for unsafe/unreadable: what is wrong, naming the part of the path
    std::string text;
};

// Reads one file of the folder under the rule above. A missing file (or
// folder) is ConfigStatus::missing.
ConfigText ReadHostConfig(std::string_view name);

// The lines of a configuration text: '#' starts a comment, blank lines are
// skipped, each remaining line split at spaces and tabs into words.
std::vector<std::vector<std::string>> ConfigLines(std::string_view text);

// How a file of entries was found: status, path and, when it is not ok, why.
struct ConfigState {
    ConfigStatus status = ConfigStatus::missing;
    std::string path;
    std::string detail;
};

// Reads one file of the folder and hands each entry (a line's words) to
// parse; the first entry parse refuses makes the whole file unreadable, its
// detail naming the entry and the form it should have.
template <typename Parse>
ConfigState ReadConfigEntries(std::string_view name, std::string_view form, Parse &&parse)
{
    const ConfigText file = ReadHostConfig(name);
    ConfigState state{file.status, file.path, file.detail};
    std::size_t number = 0;
    for (const auto &words : file.status == ConfigStatus::ok ? ConfigLines(file.text)
                                                              : std::vector<std::vector<std::string>>{}) {
        ++number;
        if (!parse(words)) {
            state.status = ConfigStatus::unreadable;
            state.detail = state.path + ": entry " + std::to_string(number) + " is not '" + std::string(form) + "'";
            break;
        }
    }
    return state;
}

// Whether a path's folders meet the rule above (the last part not checked).
// false with detail naming the offending folder.
bool SafeConfigFolders(const std::string &path, std::string &detail);

// Opens an absolute path for reading under the rule above (folders and the
// file itself, at most maxSize bytes): the descriptor, or -1 with status
// and detail saying why. Also what code is loaded from (PKCS#11 modules).
int OpenTrustedFile(const std::string &path, ConfigStatus &status, std::string &detail, std::size_t maxSize);

} // namespace zorv
