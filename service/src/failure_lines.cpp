#include "failure_lines.h"

#include "console_log.h"

namespace brim {
namespace {

void LogNotShown(int pid, unsigned count)
{
    PrintLog("Error", "BrimDecrypt", __LINE__, "{%u} more failed requests of pid{%d} not shown.", count, pid);
}

// The daemon calls from its one thread; per thread all the same, like the
// agent's cause.
struct State {
    KeyedLineLimit limit{LogNotShown};
    bool charged = false;
    int pid = 0;
    Millis now = 0;
    FrontStage lastFailed = FrontStage::None;
};

State &Failures()
{
    thread_local State state;
    return state;
}

} // namespace

void ChargeFailuresTo(int pid, Millis now)
{
    State &s = Failures();
    s.charged = true;
    s.pid = pid;
    s.now = now;
    s.lastFailed = FrontStage::None;
}

bool FailureLinesAllowed(FrontStage stage)
{
    State &s = Failures();
    s.lastFailed = stage;
    return !s.charged || s.limit.Allow(s.pid, s.now);
}

FrontStage LastFailedStage() { return Failures().lastFailed; }

void FlushFailureLines(Millis now) { Failures().limit.Flush(now); }

Millis NextFailureLinesFlush() { return Failures().limit.NextFlush(); }

} // namespace brim
