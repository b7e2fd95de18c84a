#include "metrics.h"

#include "replace_file.h"

#include "console_log.h"
#include "peer_identity.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace brim {

namespace {

// Label values, in the order of the enumerations.
constexpr const char *kResultNames[] = {"answered",    "refused_peer",      "malformed",  "authentication_failed",
                                        "unknown_key", "store_unavailable", "incomplete", "unanswerable",
                                        "key_disabled"};
static_assert(std::size(kResultNames) == static_cast<size_t>(RequestResult::kCount));
constexpr const char *kCauseNames[] = {"no_key_store", "reload_failed", "out_of_memory", "library",
                                       "path_rule",    "no_descriptor", "unknown"};
static_assert(std::size(kCauseNames) == static_cast<size_t>(StoreCause::kCount));

// Answered requests are counted per domain and key id, up to this many
// pairs; the rest together under "other", so the file stays bounded.
constexpr size_t kMaxKeySeries = 256;

// Seconds from accept to the last byte of the answer.
const prometheus::Histogram::BucketBoundaries kLatencyBounds{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                             0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                                             1,      2.5,     5};

size_t Index(auto value) { return static_cast<size_t>(value); }

} // namespace

Metrics::Metrics(const char *path) : path_(path != nullptr ? path : "")
{
    if (path_.empty()) {
        return;
    }
    try {
        auto registry = std::make_unique<prometheus::Registry>();
        auto &requests = prometheus::BuildCounter()
                             .Name("zorva_requests_total")
                             .Help("Requests by how they ended; store_unavailable by cause.")
                             .Register(*registry);
        for (size_t r = 0; r < results_.size(); ++r) {
            if (r != Index(RequestResult::StoreUnavailable)) {
                results_[r] = &requests.Add({{"result", kResultNames[r]}});
            }
        }
        auto &loadFailures = prometheus::BuildCounter()
                                 .Name("zorva_store_load_failures_total")
                                 .Help("Key-store loads that failed, by cause.")
                                 .Register(*registry);
        for (size_t c = 0; c < unavailable_.size(); ++c) {
            unavailable_[c] = &requests.Add({{"result", "store_unavailable"}, {"cause", kCauseNames[c]}});
            if (c != Index(StoreCause::NoDescriptor)) {
                loadFailures_[c] = &loadFailures.Add({{"cause", kCauseNames[c]}});
            }
        }
        answeredFamily_ = &prometheus::BuildCounter()
                               .Name("zorva_answered_total")
                               .Help("Answered requests by key domain and key id.")
                               .Register(*registry);
        answeredOther_ = &answeredFamily_->Add({{"domain", "other"}, {"key", "other"}});
        latency_ = &prometheus::BuildHistogram()
                        .Name("zorva_request_duration_seconds")
                        .Help("Time from accept to the last byte of the answer, answered requests.")
                        .Register(*registry)
                        .Add({}, kLatencyBounds);
        open_ = &prometheus::BuildGauge().Name("zorva_connections_open").Help("Connections open now.").Register(*registry).Add({});
        evicted_ = &prometheus::BuildCounter()
                        .Name("zorva_connections_evicted_total")
                        .Help("Connections closed unanswered to make room for new ones.")
                        .Register(*registry)
                        .Add({});
        overShare_ = &prometheus::BuildCounter()
                          .Name("zorva_connections_over_share_total")
                          .Help("Connections closed at once: their process held its share of places.")
                          .Register(*registry)
                          .Add({});
        loads_ = &prometheus::BuildCounter()
                      .Name("zorva_store_loads_total")
                      .Help("Key-store loads, failed ones included.")
                      .Register(*registry)
                      .Add({});
        lastLoad_ = &prometheus::BuildGauge()
                         .Name("zorva_store_last_load_success_timestamp_seconds")
                         .Help("Unix time of the last successful key-store load; 0 before the first.")
                         .Register(*registry)
                         .Add({});
        registry_ = std::move(registry);
    } catch (const std::exception &) {
        PrintLog("Warn", "StartServer", __LINE__, "Metrics are off: their registry could not be set up.");
    }
}

Metrics::~Metrics() = default;

void Metrics::Ended(RequestResult result, StoreCause cause)
{
    if (!Enabled()) {
        return;
    }
    (result == RequestResult::StoreUnavailable ? unavailable_[Index(cause)] : results_[Index(result)])->Increment();
}

prometheus::Counter &Metrics::AnsweredFor(uint32_t domain, uint32_t keyId)
{
    const uint64_t pair = static_cast<uint64_t>(domain) << 32 | keyId;
    if (const auto found = answered_.find(pair); found != answered_.end()) {
        return *found->second;
    }
    if (answered_.size() >= kMaxKeySeries) {
        return *answeredOther_;
    }
    try {
        prometheus::Counter &c =
            answeredFamily_->Add({{"domain", std::to_string(domain)}, {"key", std::to_string(keyId)}});
        answered_.emplace(pair, &c);
        return c;
    } catch (const std::exception &) {
        return *answeredOther_;
    }
}

void Metrics::Answered(uint32_t domain, uint32_t keyId, int64_t micros)
{
    if (!Enabled()) {
        return;
    }
    results_[Index(RequestResult::Answered)]->Increment();
    AnsweredFor(domain, keyId).Increment();
    latency_->Observe(static_cast<double>(micros) / 1e6);
}

void Metrics::Loaded(bool ok, StoreCause cause)
{
    if (!Enabled()) {
        return;
    }
    loads_->Increment();
    if (ok) {
        lastLoad_->Set(static_cast<double>(time(nullptr)));
    } else if (prometheus::Counter *failures = loadFailures_[Index(cause)]) {
        failures->Increment();
    }
}

void Metrics::Evicted()
{
    if (Enabled()) {
        evicted_->Increment();
    }
}

void Metrics::OverShare()
{
    if (Enabled()) {
        overShare_->Increment();
    }
}

void Metrics::SetOpen(int connections)
{
    if (Enabled()) {
        open_->Set(connections);
    }
}

void Metrics::WriteIfDue(Millis now)
{
    if (Enabled() && now >= nextWrite_) {
        Write();
        nextWrite_ = now + kMetricsEveryMillis;
    }
}

void Metrics::LogWrite(int err, const char *step)
{
    if (err == lastError_) {
        return;
    }
    char path[260];
    EscapeForLog(path_, path);
    if (err == 0) {
        PrintLog("Warn", "StartServer", __LINE__, "Metrics file {%s} written again.", path);
    } else {
        PrintLog("Warn", "StartServer", __LINE__, "Failed to write the metrics file {%s}: %s (%s).", path, step,
                 strerror(err));
    }
    lastError_ = err;
}

void Metrics::Write()
{
    if (!Enabled()) {
        return;
    }
    std::string text;
    try {
        std::ostringstream out;
        prometheus::TextSerializer().Serialize(out, registry_->Collect());
        text = out.str();
    } catch (const std::exception &) {
        LogWrite(ENOMEM, "format");
        return;
    }
    const size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        LogWrite(EINVAL, "no file name");
        return;
    }
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        LogWrite(errno, "open folder");
        return;
    }
    const ReplaceResult r = ReplaceFile(dirFd, base, text, 0644);
    (void)close(dirFd);
    LogWrite(r.error, r.step);
}

} // namespace brim
