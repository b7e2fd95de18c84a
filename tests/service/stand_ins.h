// Scripted stand-ins for the service tests: the agent calls, the pause
// between initialisation tries, and the two socket calls whose failures a
// real peer cannot produce on demand. Each records what it was asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stand_in {

struct Agent {
    std::vector<int> initResults;   // one per ZORVA_Init call; the last repeats
    int operationResult = 0;        // of ZORVA_Encrypt / ZORVA_Decrypt
    std::string result;             // handed out on success
    std::vector<std::string> events; // "init", "sleep", "encrypt", "decrypt", "free", "finalize"
    uint32_t lastDomain = 0;
    uint32_t lastInputLen = 0;
    uint32_t lastFreedLen = 0;
};
Agent &agent();
void ResetAgent();

struct Sockets {
    bool scriptUid = false;   // answer SO_PEERCRED with uid below
    uint32_t uid = 1000;
    size_t sendChunk = 0;     // when non-zero, each send writes at most this many bytes
    int sendFailAfter = -1;   // when >= 0, sends after this many calls fail with EPIPE
    int sendCalls = 0;
};
Sockets &sockets();
void ResetSockets();

} // namespace stand_in
