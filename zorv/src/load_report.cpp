#include "load_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "zorv.h"

namespace zorv {
namespace {

thread_local LoadReport t_load;

constexpr std::uint64_t kTransient[] = {
    QINT_ERR_FILE_READ,       QINT_ERR_FILES_UNREADABLE, QINT_ERR_NO_MEMORY, QINT_ERR_CRYPTO,
    QINT_ERR_RANDOM,          QINT_ERR_LOCK,             QINT_ERR_TPM_UNREACHABLE, QINT_ERR_TPM,
    QINT_ERR_PKCS11_TOKEN,    QINT_ERR_PKCS11,
};

} // namespace

LoadReport &ThisLoad() { return t_load; }

void BeginLoad()
{
    const std::uint64_t sequence = t_load.sequence + 1;
    t_load = LoadReport();
    t_load.sequence = sequence;
}

bool PermanentCause(std::uint64_t code)
{
    return code != 0 && code != QINT_LOADED_RESTORED &&
           std::find(std::begin(kTransient), std::end(kTransient), code) == std::end(kTransient);
}

} // namespace zorv

extern "C" ZORV_API uint64_t QintLastLoadEx(QintLoadReport *report)
{
    if (report == nullptr) {
        return QINT_ERR_BAD_ARGUMENT;
    }
    const zorv::LoadReport &r = zorv::ThisLoad();
    *report = QintLoadReport{};
    report->result = r.result;
    report->notice = r.notice;
    report->permanent = r.permanent ? 1 : 0;
    report->fresh = r.fresh ? 1 : 0;
    report->sequence = r.sequence;
    const char *cause = r.result != 0 && r.result != QINT_LOADED_RESTORED ? QintErrorTextEx(r.result)
                        : r.notice != 0                                   ? QintErrorTextEx(r.notice)
                                                                          : "";
    std::snprintf(report->cause, sizeof report->cause, "%s", cause);
    const std::size_t n = std::min(r.detail.size(), sizeof report->detail - 1);
    std::memcpy(report->detail, r.detail.data(), n);
    report->detail[n] = '\0';
    return 0;
}
