// The key usage record: how often, and when last, the daemon answered a
// decryption under each key (domain and key id), and how often it refused
// one because the key was disabled. Written by the daemon to its state
// folder, read by the key tool before keys are removed. Never any plain
// text, cipher text or key material.
//
// A text file, every line ending in a newline:
//   zorva-key-usage 1
//   written T
//   D K A LA R LR        one line per key, ascending by D then K
// T, LA and LR are seconds since the epoch (LA, LR 0: never); D the
// domain, K the key id (not 0), A the decryptions answered, R the ones
// refused with the key disabled. Numbers are decimal without leading
// zeros, separated by one space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usage {

inline constexpr const char *kDefaultFolder = "/var/lib/zorva";
inline constexpr const char *kFileName = "key-usage";
inline constexpr const char *kSetAsideName = "key-usage.damaged";
// Bounds of a record read: more is damage, never memory to grow into.
inline constexpr std::size_t kMaxEntries = 8192;
inline constexpr std::size_t kMaxBytes = 1 << 20;

struct Entry {
    std::uint32_t domain = 0;
    std::uint32_t keyId = 0;
    std::uint64_t answered = 0;
    std::int64_t lastAnswered = 0; // 0: never
    std::uint64_t refused = 0;     // refused: the key was disabled
    std::int64_t lastRefused = 0;  // 0: never
};

struct Record {
    std::int64_t written = 0;
    std::vector<Entry> entries; // ascending by domain, then key id
};

// Reads text into out. "" when it is a whole record, else why not ("line
// 4: ..."); out is then empty.
std::string Parse(std::string_view text, Record &out);

// The text of record, its entries sorted first.
std::string Format(Record record);

enum class ReadStatus { ok, missing, damaged };

// Reads and parses name in the folder dirFd: a regular file reached without
// a link, at most kMaxBytes. damaged also covers a file that cannot be
// opened or read, a link and anything but a regular file; why says which.
ReadStatus ReadFileAt(int dirFd, const char *name, Record &out, std::string &why);

} // namespace usage
