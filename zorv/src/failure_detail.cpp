#include "failure_detail.h"

namespace zorv {
namespace {
thread_local std::string t_detail;
thread_local std::uint32_t t_changedPcrs = 0;
thread_local std::vector<std::string> t_watched;
} // namespace

void NoteWatchedFile(const std::string &path) { t_watched.push_back(path); }
const std::vector<std::string> &WatchedFiles() { return t_watched; }
void ClearWatchedFiles() { t_watched.clear(); }

void NoteFailureDetail(std::string text) { t_detail = std::move(text); }
const std::string &FailureDetail() { return t_detail; }
void NoteChangedPcrs(std::uint32_t mask) { t_changedPcrs = mask; }
std::uint32_t ChangedPcrs() { return t_changedPcrs; }
void ClearFailureDetail()
{
    t_detail.clear();
    t_changedPcrs = 0;
}

} // namespace zorv
