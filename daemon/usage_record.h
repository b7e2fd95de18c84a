// The daemon's side of the key usage record (usage_format.h): counts kept in
// memory per request, written to the state folder ($STATE_DIRECTORY, the
// first folder it names, else /var/lib/zorva) every minute while they
// change, hourly while they do not, and at stop. At start the record found
// there is taken in and counted on from; a damaged one is reported and set
// aside (key-usage.damaged), never trusted.
#pragma once

#include "line_limit.h"
#include "usage_format.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

namespace brim {

inline constexpr Millis kUsageEveryMillis = 60 * 1000;
inline constexpr Millis kUsageIdleEveryMillis = 60 * 60 * 1000;

class UsageRecord {
public:
    // Reads the folder from the environment.
    UsageRecord();
    UsageRecord(const UsageRecord &) = delete;
    UsageRecord &operator=(const UsageRecord &) = delete;

    // Takes in the record found in the folder; the first write is due a
    // minute after now.
    void Load(Millis now);

    // One decryption answered, or refused because the key is disabled, now.
    void Answered(uint32_t domain, uint32_t keyId) { Count(domain, keyId, false); }
    void Refused(uint32_t domain, uint32_t keyId) { Count(domain, keyId, true); }

    // Writes the record now (a temporary file in the folder, synced, renamed
    // over it, mode 0640 at most). A failure is logged when it first occurs
    // and when its cause changes; a success after failures once.
    void Write();
    Millis NextWrite() const { return nextWrite_; }
    void WriteIfDue(Millis now);

private:
    struct Counts {
        uint64_t answered = 0;
        int64_t lastAnswered = 0;
        uint64_t refused = 0;
        int64_t lastRefused = 0;
    };
    void Count(uint32_t domain, uint32_t keyId, bool refused);
    void LogWrite(int err, const char *step);

    std::string folder_;
    std::unordered_map<uint64_t, Counts> counts_;
    bool changed_ = false;     // since the last write
    bool overflowLogged_ = false;
    Millis nextWrite_ = kNever;
    Millis lastWrite_ = 0;
    int lastError_ = 0;
};

} // namespace brim
