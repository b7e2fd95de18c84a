// A key store is a pair of files with identical contents when healthy. This
// picks the copy to trust and, when asked, rewrites the other one from it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/settings.h"
#include "store_image.h"

namespace zorv {

struct PairPaths {
    std::string primary;
    std::string standby;
};

struct CopyCheck {
    std::uint64_t status = QINT_ERR_FILE_MISSING; // 0 when valid
    std::uint64_t counter = 0;                    // when valid
    std::string detail;                           // the failure's detail (failure_detail.h), if any
    SecretBytes bytes;
    StoreImage image;
};

enum class Chosen { None, Primary, Standby };

struct PairLoad {
    std::uint64_t result = 0; // 0, QINT_LOADED_RESTORED or a failure
    Chosen chosen = Chosen::None;
    CopyCheck primary;
    CopyCheck standby;
    bool restoreFailed = false;
    // For the operator: a failure's detail (each copy's cause), or a notice
    // of a load that succeeded (notice: its QINT_ code).
    std::uint64_t notice = 0;
    std::string detail;
    bool permanent = false;

    const CopyCheck &Trusted() const { return chosen == Chosen::Standby ? standby : primary; }
};

// Whether a check result says the copy could not be opened here (host key,
// TPM, passphrase) rather than that it is damaged.
bool IsProtectorFailure(std::uint64_t status);

// Whether a check result is the host's refusal of a whole copy (another
// store, not the pinned one, format 1 beside a newer store, a carried copy).
bool IsRefusal(std::uint64_t status);

// Reads and checks one file (see DecodeStore for unwrap).
CopyCheck CheckCopy(const Callbacks &cb, const std::string &path, const Unlock &unlock, bool unwrap = true);

// Reads both files and chooses: both valid and equal → 0; one valid and the
// other missing, damaged or older (or both valid, equal counters, different
// bytes: primary wins) → QINT_LOADED_RESTORED, and with restore the other
// file is rewritten from the trusted one. Neither valid →
// QINT_ERR_FILES_UNREADABLE, a protector's cause (no slot opens here, see
// protect/protector.h), _UNSUPPORTED_VERSION or _BOTH_DAMAGED; nothing is
// written. A copy that does not open here and claims a higher update counter
// is not overwritten: it may be a newer store with other slots. A format-1
// store is logged once per process
// (failure level) with the command that migrates it.
PairLoad LoadPair(const Callbacks &cb, const PairPaths &paths, const Unlock &unlock, bool restore, bool unwrap,
                  const char *caller);

// Writes bytes to the standby, then to the primary. 0 or
// QINT_ERR_FILE_WRITE; failedFile gets QINT_FILE_STANDBY/_PRIMARY.
std::uint64_t WritePair(const Callbacks &cb, const PairPaths &paths, std::span<const std::uint8_t> bytes,
                        std::uint32_t &failedFile);

} // namespace zorv
