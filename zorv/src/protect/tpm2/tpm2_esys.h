// The ESAPI plumbing under the sealing code: one connection per call (TCTI
// and ESYS context), guards that flush transient handles and free ESAPI
// results, and the translation of TSS return codes into Status.
#pragma once

#include "protect/tpm2/tpm2_seal.h"

#include <tss2/tss2_esys.h>

#include <memory>

namespace zorv::tpm2 {

// The TCTI configuration in effect: ZORVA_TPM2_TCTI when set and not empty,
// else the kernel's resource manager.
const char *TctiConfig();

// A TCTI and an ESYS context over it, finalised in that order's reverse when
// the connection goes. Open reports noTpm when the configuration names a
// transport other than device, swtpm, mssim or tabrmd, or the TCTI cannot be
// set up; declare a Connection before every guard that uses
// it, so the guards are flushed while it is still open.
class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    Status Open();
    ESYS_CONTEXT *esys() const { return esys_; }

private:
    TSS2_TCTI_CONTEXT *tcti_ = nullptr;
    ESYS_CONTEXT *esys_ = nullptr;
};

// A transient object or session handle, flushed from the TPM on scope exit
// (through the connection as it is then: it may be made before it opens).
class Transient {
public:
    explicit Transient(const Connection &c) : connection_(c) {}
    ~Transient()
    {
        if (handle_ != ESYS_TR_NONE) {
            Esys_FlushContext(connection_.esys(), handle_);
        }
    }
    Transient(const Transient &) = delete;
    Transient &operator=(const Transient &) = delete;

    ESYS_TR *out() { return &handle_; }
    ESYS_TR get() const { return handle_; }

private:
    const Connection &connection_;
    ESYS_TR handle_ = ESYS_TR_NONE;
};

// Owner of a structure the ESAPI allocated for a result.
struct EsysFree {
    void operator()(void *p) const { Esys_Free(p); }
};
template <typename T>
using EsysPtr = std::unique_ptr<T, EsysFree>;

// Where a return code came from decides what a failure means to the caller:
// a lost TPM is noTpm wherever it happens; a TPM response code is the
// status the caller names for that step (notThisTpm for a load, say); a
// failure of the library itself is failure.
Status FromRc(TSS2_RC rc, Status tpmRefusal);

// The TPM's own response code without the handle, parameter or session
// number that format-one codes carry; 0 when rc is not from the TPM.
TSS2_RC TpmBaseRc(TSS2_RC rc);

} // namespace zorv::tpm2
