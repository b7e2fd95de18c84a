#include "line_limit.h"

namespace brim {

KeyedLineLimit::Entry *KeyedLineLimit::EntryFor(int key, Millis now)
{
    Entry *spare = nullptr;
    for (Entry &e : entries_) {
        if (e.used && e.key == key) {
            return &e;
        }
        // An entry whose interval is over and fully reported can be reused.
        if (spare == nullptr && (!e.used || (e.hidden == 0 && now - e.shown >= kLogIntervalMillis))) {
            spare = &e;
        }
    }
    if (spare != nullptr) {
        *spare = Entry{true, key, now - kLogIntervalMillis, 0};
    }
    return spare;
}

bool KeyedLineLimit::Allow(int key, Millis now)
{
    Entry *e = EntryFor(key, now);
    if (e == nullptr) {
        if (others_.hidden++ == 0) {
            others_.shown = now;
        }
        return false;
    }
    if (now - e->shown < kLogIntervalMillis) {
        ++e->hidden;
        return false;
    }
    if (e->hidden > 0) {
        notShown_(e->key, e->hidden);
        e->hidden = 0;
    }
    e->shown = now;
    return true;
}

void KeyedLineLimit::Flush(Millis now)
{
    const auto report = [this, now](Entry &e) {
        if (e.used && e.hidden > 0 && now - e.shown >= kLogIntervalMillis) {
            notShown_(e.key, e.hidden);
            e.hidden = 0;
            e.shown = now; // the next event within the interval is counted, not shown
        }
    };
    for (Entry &e : entries_) {
        report(e);
    }
    report(others_);
}

Millis KeyedLineLimit::NextFlush() const
{
    Millis next = others_.hidden > 0 ? others_.shown + kLogIntervalMillis : kNever;
    for (const Entry &e : entries_) {
        if (e.used && e.hidden > 0 && e.shown + kLogIntervalMillis < next) {
            next = e.shown + kLogIntervalMillis;
        }
    }
    return next;
}

} // namespace brim
