// What the last load of this thread found (QintLastLoadEx), set by the load
// as it goes: the result, whether it is permanent, and the detail an
// operator needs.
#pragma once

#include <cstdint>
#include <string>

namespace zorv {

struct LoadReport {
    std::uint64_t result = 0;
    std::uint64_t notice = 0;
    bool permanent = false;
    bool fresh = false;
    std::uint64_t sequence = 0;
    std::string detail;
};

// The report of this thread's current (or last) load.
LoadReport &ThisLoad();
// Starts the report of a new load.
void BeginLoad();

// Whether a cause cannot go away by trying again: only a change of a file
// (the store, the host key, the host configuration, a PIN file) or of the
// host's hardware helps. The transient ones are failures of reading, of the
// TPM's or the token's reach, and of resources.
bool PermanentCause(std::uint64_t code);

} // namespace zorv
