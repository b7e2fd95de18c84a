// The fronts' failure lines in the daemon: at most one failure's lines per
// second for each process that asked, the rest counted and reported in one
// line ("{N} more failed requests of pid{P} not shown."), so an admitted
// client sending bad requests cannot flood the console. Without a process
// to charge (the tool, a single call) every failure is written.
#pragma once

#include "line_limit.h"

namespace brim {

// Where a front failed.
enum class FrontStage { None, Init, Operation };

// The failures of the fronts called from now on belong to process pid,
// at time now, until the next call. Forgets the last failed stage.
void ChargeFailuresTo(int pid, Millis now);

// Called by a front that failed at stage: true when it writes its failure
// lines now, false when they are only counted. Notes the stage.
bool FailureLinesAllowed(FrontStage stage);

// Where the last front failed since ChargeFailuresTo; None when none did.
FrontStage LastFailedStage();

// Reports the counts whose interval is over; when that is next due, or kNever.
void FlushFailureLines(Millis now);
Millis NextFailureLinesFlush();

} // namespace brim
