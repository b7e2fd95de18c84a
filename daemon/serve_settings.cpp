#include "serve_settings.h"

#include "console_log.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace brim {

namespace {

template <typename T> T Bounded(const char *name, T fallback, T low, T high)
{
    const char *text = getenv(name);
    if (text == nullptr) {
        return fallback;
    }
    T value{};
    const char *end = text + strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value < low || value > high) {
        PrintLog("Warn", "StartServer", __LINE__, "Ignored %s: not a whole number from %lld to %lld; kept %lld.",
                 name, static_cast<long long>(low), static_cast<long long>(high), static_cast<long long>(fallback));
        return fallback;
    }
    return value;
}

} // namespace

ServeSettings ReadServeSettings()
{
    ServeSettings s;
    s.perProcess = Bounded("ZORVA_CONNECTIONS_PER_PROCESS", s.perProcess, 1, 256);
    s.graceMillis = Bounded<Millis>("ZORVA_EVICTION_GRACE_MS", s.graceMillis, 0, 5000);
    const char *metrics = getenv("ZORVA_METRICS_FILE");
    s.metricsFile = metrics != nullptr && *metrics != '\0' ? metrics : nullptr;
    const char *audit = getenv("ZORVA_AUDIT");
    s.audit = audit != nullptr && strcmp(audit, "1") == 0;
    return s;
}

} // namespace brim
