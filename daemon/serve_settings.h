// The daemon's settings from its environment, all optional.
#pragma once

#include "line_limit.h"

namespace brim {

struct ServeSettings {
    // ZORVA_CONNECTIONS_PER_PROCESS: places one peer process may hold at
    // once (1 to 256); a further connection of it is closed at once.
    int perProcess = 64;
    // ZORVA_EVICTION_GRACE_MS: how long a new connection is safe from being
    // closed to make room (0 to 5000 ms).
    Millis graceMillis = 250;
    // ZORVA_METRICS_FILE: where the metrics go; null for none.
    const char *metricsFile = nullptr;
    // ZORVA_AUDIT=1: one line per answered request.
    bool audit = false;
};

// Reads the settings; a value out of range or not a whole number is logged
// and the default kept.
ServeSettings ReadServeSettings();

} // namespace brim
