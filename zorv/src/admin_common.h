// What the administration calls share: the name record, the report, and the
// load-edit-write cycle of a mutation.
#pragma once

#include <cstdint>
#include <functional>

#include "protect/settings.h"
#include "store_pair.h"
#include "zorv_admin.h"

namespace zorv {

bool ToPaths(const QintKeyFileName *names, PairPaths &paths);
void Report(QintAdminReport *report, const CopyCheck &p, const CopyCheck &s, std::uint32_t failedFile);
void ReportWrite(QintAdminReport *report, std::uint32_t failedFile);
// The pair loaded (never restored) for an administration call, with both
// copies' status put into report.
PairLoad LoadReported(const Callbacks &cb, const PairPaths &paths, const Unlock &unlock, bool unwrap,
                      const char *caller, QintAdminReport *report);

// Edits an image; clears write when there is nothing to write.
using Change = std::function<std::uint64_t(const Callbacks &, const Unlock &, StoreImage &, bool &write)>;

// Loads the newest valid copy, lets change edit it, writes both files with
// the next update counter. A format-1 store is refused
// (QINT_ERR_BUILTIN_ONLY) unless builtinOk.
std::uint64_t Mutate(const QintKeyFileName *names, QintAdminReport *report, const char *caller, bool builtinOk,
                     const Change &change, const Unlock &unlock = CurrentUnlock(), StoreImage *result = nullptr);

// Encodes image and writes it standby first (updated set to now); a write
// failure is reported and logged with the file it names. written (if not
// null) gets the bytes written.
std::uint64_t Store(const Callbacks &cb, const PairPaths &paths, StoreImage &image, QintAdminReport *report,
                    SecretBytes *written = nullptr);

// Update counter of a copy, also of one that exists but did not check out
// (for counting on past it).
std::uint64_t CounterOf(const CopyCheck &c);

// A fresh salt and root key protected by a slot of type (id 1) and, when
// asked, a recovery slot (id 2).
std::uint64_t NewProtection(const Callbacks &cb, const Unlock &unlock, std::uint32_t type, bool recovery,
                            StoreImage &image);

} // namespace zorv
