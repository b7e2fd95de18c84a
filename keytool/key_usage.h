// What the key tool knows of the use of each key: the daemon's usage record
// on this host and, for a fleet, the 'usage --json' output of each host
// (--usage FILE), merged: counts added, last uses the latest of all.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "keytool.h"
#include "usage_format.h"

namespace keytool {

constexpr std::int64_t kDaySeconds = 24 * 60 * 60;
constexpr const char *kUsageJsonFormat = "zorva-key-usage-json 1";

struct KeyUse {
    std::uint64_t answered = 0;
    std::int64_t lastAnswered = 0; // 0: never
    std::uint64_t refused = 0;     // refused because the key was disabled
    std::int64_t lastRefused = 0;

    std::int64_t LastTouched() const { return lastAnswered > lastRefused ? lastAnswered : lastRefused; }
};

struct HostUsage {
    std::string file;
    std::string host;
    std::int64_t written = 0; // of that host's record
};

struct KeyUsage {
    std::string recordPath;
    usage::ReadStatus record = usage::ReadStatus::missing;
    std::string recordProblem; // why the record is damaged
    std::int64_t recordWritten = 0;
    std::vector<HostUsage> hosts;
    std::map<std::uint64_t, KeyUse> keys;

    bool Known() const { return record == usage::ReadStatus::ok || !hosts.empty(); }
    KeyUse Of(std::uint32_t domain, std::uint32_t keyId) const;
};

using StoreIdBytes = std::array<unsigned char, 16>;

std::string Hex(const StoreIdBytes &id);

// The store's id (zero for a format-2 store); false, with a message, when
// the store cannot be read.
bool ReadStoreId(const Options &o, StoreIdBytes &id);

// Reads the record (--record, else the default) and every --usage file into
// out. A record that is missing or damaged is noted in out; a --usage file
// that cannot be read, is not a host's usage, is of another store or whose
// host had no usable record is an error: false, with a message.
bool GatherUsage(const Options &o, const StoreIdBytes &storeId, KeyUsage &out);

// On standard error: the record is missing (unless hosts' usage was
// given), damaged or more than a day old, and each host's that is old.
void NoteUsageGaps(const Options &o, const KeyUsage &usage, std::int64_t now);

// "2024-05-01T10:00:00Z"; "never" for 0.
std::string TimeText(std::int64_t t);
// The seconds of such a text; false when it is not one.
bool ParseTimeText(const char *text, std::int64_t &t);

} // namespace keytool
