// A load that failed for a cause trying again cannot mend (a missing file, a
// refused host key, another host's or a foreign store, a PIN the token
// refused, PCR values that changed) is remembered with the change stamps of
// everything it depended on: both store files, the host key file, the host
// configuration and the files the failing slot read (a PIN file). Until one
// of them changes, a later load of the same pair answers the same failure at
// once: nothing is read or opened again, and a refused PIN is never shown to
// the token again. A transient failure (the TPM or the token out of reach,
// a read error, no memory) is not remembered.
#pragma once

#include "load_report.h"
#include "protect/settings.h"
#include "store_pair.h"

namespace zorv {

// True (and report filled) when the pair's last load failed permanently and
// nothing it depended on changed since.
bool RecallFailure(const PairPaths &paths, const Unlock &unlock, LoadReport &report);

// Remembers a permanent failure of a load (its stamps are taken now, after
// the load). A success or a transient failure forgets.
void RememberLoad(const PairPaths &paths, const Unlock &unlock, const LoadReport &report);

} // namespace zorv
