// The detail of the last failure of this thread, beside its code: which
// file, which PCR, what the loader or the token said. A code says what kind
// of failure it was; the detail names the thing to look at. Set where the
// failure is found, read by whoever reports it (the load's log line, the
// administration calls' callers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorv {

void NoteFailureDetail(std::string text);
// The detail noted since the last ClearFailureDetail (empty if none).
const std::string &FailureDetail();
// A PCR-bound slot that did not open: the PCRs whose values changed (bit i:
// PCR i), 0 if none noted since the last ClearFailureDetail.
void NoteChangedPcrs(std::uint32_t mask);
std::uint32_t ChangedPcrs();
void ClearFailureDetail();

// Files a load read beside the store and the host key (a PIN file), whose
// change may mend a failure; kept from ClearWatchedFiles to the next.
void NoteWatchedFile(const std::string &path);
const std::vector<std::string> &WatchedFiles();
void ClearWatchedFiles();

} // namespace zorv
