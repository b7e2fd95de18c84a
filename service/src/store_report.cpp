#include "store_report.h"

#include <dlfcn.h>

namespace brim {
namespace {

using ReportFn = uint64_t (*)(QintLoadReport *);

ReportFn Lookup()
{
    static const ReportFn fn = reinterpret_cast<ReportFn>(::dlsym(RTLD_DEFAULT, "QintLastLoadEx"));
    return fn;
}

} // namespace

bool LastStoreLoad(QintLoadReport &report)
{
    const ReportFn fn = Lookup();
    return fn != nullptr && fn(&report) == 0;
}

uint64_t StoreLoads()
{
    QintLoadReport report{};
    return LastStoreLoad(report) ? report.sequence : 0;
}

} // namespace brim
