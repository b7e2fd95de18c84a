// Rate limits for the daemon's console: a flood of connections must not
// turn into a flood of lines.
#pragma once

#include "connection_table.h"

#include <array>
#include <limits>

namespace brim {

inline constexpr Millis kNever = std::numeric_limits<Millis>::max();
inline constexpr Millis kLogIntervalMillis = 1000;

// Lets an event through at most once per interval.
class OncePerInterval {
public:
    bool Allow(Millis now)
    {
        if (now - last_ < kLogIntervalMillis) {
            return false;
        }
        last_ = now;
        return true;
    }
    Millis Next() const { return last_ + kLogIntervalMillis; }

private:
    Millis last_ = std::numeric_limits<Millis>::min() / 2;
};

// "connect from unallow client uid{N}." at most once per interval and user
// id; the refusals not shown are counted and reported in one line per
// interval. Refusals of more distinct user ids than the table holds within
// one interval are counted together under uid -1.
class RefusalLog {
public:
    void Refused(int uid, Millis now);
    // Reports the counts whose interval is over.
    void Flush(Millis now);
    // When Flush next has something to report, or kNever.
    Millis NextFlush() const;

private:
    struct Entry {
        bool used = false;
        int uid = 0;
        Millis shown = 0;    // start of the current interval
        unsigned hidden = 0; // refusals in it not shown
    };
    Entry *EntryFor(int uid, Millis now);

    std::array<Entry, 32> entries_{};
    Entry others_{true, -1, 0, 0};
};

} // namespace brim
