// The daemon's counters in the Prometheus text format, written to the file
// named by ZORVA_METRICS_FILE (for node_exporter's textfile collector):
// replaced whole, never seen half-written.
#pragma once

#include "line_limit.h"
#include "request_outcome.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T> class Family;
} // namespace prometheus

namespace brim {

inline constexpr Millis kMetricsEveryMillis = 10000;

class Metrics {
public:
    // Counts and writes only when path is given (not null, not empty).
    explicit Metrics(const char *path);
    ~Metrics();
    Metrics(const Metrics &) = delete;
    Metrics &operator=(const Metrics &) = delete;

    bool Enabled() const { return registry_ != nullptr; }

    // Each call counts one event; all do nothing when not enabled.
    void Ended(RequestResult result, StoreCause cause = StoreCause::Unknown);
    void Answered(uint32_t domain, uint32_t keyId, int64_t micros);
    void Loaded(bool ok, StoreCause cause);
    void Evicted();
    void OverShare();
    void SetOpen(int connections);

    // Writes the file now (a temporary file beside it, synced, renamed over
    // it, mode 0644). A failure is logged when it first occurs, and again
    // when its cause changes; a success after failures is logged once.
    void Write();
    // When the file is next due, or kNever.
    Millis NextWrite() const { return Enabled() ? nextWrite_ : kNever; }
    void WriteIfDue(Millis now);

private:
    prometheus::Counter &AnsweredFor(uint32_t domain, uint32_t keyId);
    void LogWrite(int err, const char *step);

    const std::string path_;
    std::unique_ptr<prometheus::Registry> registry_;
    std::array<prometheus::Counter *, static_cast<size_t>(RequestResult::kCount)> results_{};
    std::array<prometheus::Counter *, static_cast<size_t>(StoreCause::kCount)> unavailable_{};
    std::array<prometheus::Counter *, static_cast<size_t>(StoreCause::kCount)> loadFailures_{};
    prometheus::Counter *loads_ = nullptr, *evicted_ = nullptr, *overShare_ = nullptr;
    prometheus::Gauge *open_ = nullptr, *lastLoad_ = nullptr;
    prometheus::Histogram *latency_ = nullptr;
    prometheus::Family<prometheus::Counter> *answeredFamily_ = nullptr;
    prometheus::Counter *answeredOther_ = nullptr; // beyond kMaxKeySeries pairs
    std::unordered_map<uint64_t, prometheus::Counter *> answered_;
    Millis nextWrite_ = 0;
    int lastError_ = 0; // errno of the last failed write, 0 after a success
};

} // namespace brim
