#include "failure_detail.h"

namespace zorv {
namespace {
thread_local std::string t_detail;
} // namespace

void NoteFailureDetail(std::string text) { t_detail = std::move(text); }
const std::string &FailureDetail() { return t_detail; }
void ClearFailureDetail() { t_detail.clear(); }

} // namespace zorv
