// Rate limits for console lines: a flood of events must not turn into a
// flood of lines, and no event goes uncounted.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

namespace brim {

// Milliseconds of the monotonic clock.
using Millis = int64_t;

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

// At most one shown line per interval and key (a user id, a process id);
// the events not shown are counted and handed to notShown, at most once per
// interval and key. Events of more distinct keys than the table holds within
// one interval are counted together under key -1.
class KeyedLineLimit {
public:
    using NotShown = void (*)(int key, unsigned count);
    explicit KeyedLineLimit(NotShown notShown) : notShown_(notShown) {}

    // True when the caller writes the event's line now; an earlier count of
    // the key's events not shown is reported first. False: counted.
    bool Allow(int key, Millis now);
    // Reports the counts whose interval is over.
    void Flush(Millis now);
    // When Flush next has something to report, or kNever.
    Millis NextFlush() const;

private:
    struct Entry {
        bool used = false;
        int key = 0;
        Millis shown = 0;    // start of the current interval
        unsigned hidden = 0; // events in it not shown
    };
    Entry *EntryFor(int key, Millis now);

    NotShown notShown_;
    std::array<Entry, 32> entries_{};
    Entry others_{true, -1, 0, 0};
};

} // namespace brim
