// Internal: the reload lock g_stZorvaRealoadLock as the agent takes it.
//
// The entry points take a read hold for their whole run; the raw data calls
// and the reload check run inside the caller's read hold, whether an entry
// point of ours or the caller itself took it on the exported lock. The
// agent's own holds are counted per thread, so nested holds of one thread
// are one real hold and a thread that holds the lock is never made to wait
// for its own write hold. The exclusive phase of a reload gives up the
// calling thread's one hold, however it was taken, and takes it back.
//
// The lock is statically initialised and never destroyed or re-initialised,
// so it can be held across any initialisation and finalisation.
#pragma once

#include "zorva_main.h"

namespace zorva {

// Holds the lock in read mode for its lifetime. Inside the write hold of the
// same thread it does nothing: that thread is alone already.
class ReloadReadHold {
public:
    ReloadReadHold();
    ~ReloadReadHold();
    ReloadReadHold(const ReloadReadHold &) = delete;
    ReloadReadHold &operator=(const ReloadReadHold &) = delete;

private:
    bool counted_;
};

// Holds the lock in write mode for its lifetime: no crypto operation of this
// process runs meanwhile. Not taken (held() false) when the calling thread
// holds the lock already, which it could never upgrade, or when the wait
// passed kReloadWriteWaitSeconds (a caller that keeps a read hold of its own
// while asking for exclusive access).
class ReloadWriteHold {
public:
    ReloadWriteHold();
    ~ReloadWriteHold();
    ReloadWriteHold(const ReloadWriteHold &) = delete;
    ReloadWriteHold &operator=(const ReloadWriteHold &) = delete;

    bool held() const { return held_; }
    // 0, or the error number of the lock call that failed.
    int error() const { return error_; }

private:
    bool held_ = false;
    int error_ = 0;
};

// The exclusive phase of a reload: gives up the calling thread's read hold
// (which the caller must have), pauses pauseSeconds, and takes the write
// hold; the destructor gives the write hold up and takes the read hold back,
// so the thread leaves as it came. Already inside a write hold of its own,
// the thread keeps it and does not pause.
class ReloadExclusivePhase {
public:
    explicit ReloadExclusivePhase(unsigned pauseSeconds);
    ~ReloadExclusivePhase();
    ReloadExclusivePhase(const ReloadExclusivePhase &) = delete;
    ReloadExclusivePhase &operator=(const ReloadExclusivePhase &) = delete;

    bool exclusive() const { return exclusive_; }
    int error() const { return error_; }

private:
    unsigned savedDepth_ = 0;
    bool released_ = false;
    bool owns_ = false;
    bool exclusive_ = false;
    int error_ = 0;
};

// For a raw data call, inside its read hold: true when the agent is
// initialised, else false after logging "The process has not been
// initialized." under the function's name. Under the read hold no finalise
// can start, so the answer holds until the hold is given up.
bool InitialisedForRawCall(const char *function);

// How long a write hold is waited for before the caller gives up.
inline constexpr unsigned kReloadWriteWaitSeconds = 30;

} // namespace zorva
