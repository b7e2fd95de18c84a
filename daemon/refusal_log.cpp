#include "refusal_log.h"

namespace brim {

RefusalLog::Entry *RefusalLog::EntryFor(int uid, Millis now)
{
    Entry *spare = nullptr;
    for (Entry &e : entries_) {
        if (e.used && e.uid == uid) {
            return &e;
        }
        // An entry whose interval is over and fully reported can be reused.
        if (spare == nullptr && (!e.used || (e.hidden == 0 && now - e.shown >= kLogIntervalMillis))) {
            spare = &e;
        }
    }
    if (spare != nullptr) {
        *spare = Entry{true, uid, now - kLogIntervalMillis, 0};
    }
    return spare;
}

void RefusalLog::Refused(int uid, Millis now)
{
    Entry *e = EntryFor(uid, now);
    if (e == nullptr) {
        if (others_.hidden++ == 0) {
            others_.shown = now;
        }
        return;
    }
    if (now - e->shown < kLogIntervalMillis) {
        ++e->hidden;
        return;
    }
    if (e->hidden > 0) {
        BrimLogRefusalsNotShown(e->uid, e->hidden);
        e->hidden = 0;
    }
    BrimLogRefusedPeer(uid);
    e->shown = now;
}

void RefusalLog::Flush(Millis now)
{
    const auto report = [now](Entry &e) {
        if (e.used && e.hidden > 0 && now - e.shown >= kLogIntervalMillis) {
            BrimLogRefusalsNotShown(e.uid, e.hidden);
            e.hidden = 0;
            e.shown = now; // the next refusal within the interval is counted, not shown
        }
    };
    for (Entry &e : entries_) {
        report(e);
    }
    report(others_);
}

Millis RefusalLog::NextFlush() const
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
