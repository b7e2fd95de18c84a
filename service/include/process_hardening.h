// Process hardening for the programs that hold keys (the daemon, the
// encryption tool, the key tool): called first thing in main.
#pragma once

namespace brim {

// Turns core dumps off for this process: PR_SET_DUMPABLE 0 (no core image,
// no ptrace attach and no /proc/PID/mem for other processes of the same
// user) and RLIMIT_CORE 0. 0 when both took effect, else -1 (errno says why).
int DisableCoreDumps();

} // namespace brim
