// zorvm_keytool: the command line, the callbacks it registers and the
// commands, each printing what it did or naming the file and the cause.
#pragma once

#include <cstdint>
#include <string>

namespace keytool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char *kDefaultPrimary = "/etc/zorvm_primary_file.dat";
constexpr const char *kDefaultStandby = "/etc/zorvm_standby_file.dat";

struct Options {
    std::string command;
    std::string primary = kDefaultPrimary;
    std::string standby = kDefaultStandby;
    bool force = false;
    bool all = false;
    bool hasDomain = false;
    std::uint32_t domain = 0;
    bool hasKeep = false;
    std::uint32_t keep = 0;
    std::string dir;
    std::string owner; // --owner USER: owner of the files written
};

// Registers stdio callbacks that create files owner-only and sync on flush.
// Written files replace the old ones by rename, a pair at a time. Every file
// is reached without links: the folder and the file are opened with
// O_NOFOLLOW, and a folder that users other than its owner can write (or
// that belongs to another user) is never written into.
void RegisterCallbacks();

// Files written from now on belong to user (name or number) instead of the
// invoking user. False, with a message, when there is no such user.
bool SetFileOwner(const std::string &user);

// Makes the folder of a backup, mode 0700 and owned as the files will be,
// when it is missing. False, with a message, when it cannot be made.
bool PrepareBackupFolder(const std::string &dir);

// True when path keeps the rule of zorv_path_rule.h; otherwise says, in the
// agent's words, why the agent would refuse it, and answers false.
bool KeepsPathRule(const std::string &path);

// At the end of a command: renames the files still waiting (publish) or
// throws them away (a failed command leaves the store as it was). False,
// with a message, when a rename failed.
bool FinishWrites(bool publish);

int Create(const Options &o);
int Rotate(const Options &o);
int Prune(const Options &o);
int List(const Options &o);
int Verify(const Options &o);
int Backup(const Options &o);

} // namespace keytool
