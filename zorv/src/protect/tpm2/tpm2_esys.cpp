#include "protect/tpm2/tpm2_esys.h"

#include <tss2/tss2_tctildr.h>

#include <array>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace zorv::tpm2 {
namespace {

constexpr const char *kDefaultTcti = "device:/dev/tpmrm0";

// The transports a configuration may name. The TCTI loader would also open
// any shared object named by path, or run a command ("cmd"): neither may be
// reachable through an environment variable of a secrets service.
constexpr std::array<std::string_view, 4> kAllowedTctis{"device", "swtpm", "mssim", "tabrmd"};

bool AllowedTcti(std::string_view conf)
{
    const std::string_view name = conf.substr(0, conf.find(':'));
    for (std::string_view allowed : kAllowedTctis) {
        if (name == allowed) {
            return true;
        }
    }
    return false;
}

// The TSS libraries log to the standard error stream unless TSS2_LOG says
// otherwise; a library must not write to its host program's console. Each
// TSS module reads the variable on its first log call, so it is set once,
// before the first TCTI is loaded, and only when the operator left it unset
// (an operator chasing a TPM problem can still ask for the TSS's own log).
void SilenceTssLog()
{
    static std::once_flag once;
    std::call_once(once, [] { ::setenv("TSS2_LOG", "all+NONE", 0); });
}

} // namespace

const char *TctiConfig()
{
    // Ignored in a program running with raised privileges.
    const char *conf = ::secure_getenv("ZORVA_TPM2_TCTI");
    return conf != nullptr && *conf != '\0' ? conf : kDefaultTcti;
}

Connection::~Connection()
{
    if (esys_ != nullptr) {
        Esys_Finalize(&esys_);
    }
    if (tcti_ != nullptr) {
        Tss2_TctiLdr_Finalize(&tcti_);
    }
}

Status Connection::Open()
{
    SilenceTssLog();
    const char *conf = TctiConfig();
    if (!AllowedTcti(conf) || Tss2_TctiLdr_Initialize(conf, &tcti_) != TSS2_RC_SUCCESS) {
        tcti_ = nullptr;
        return Status::noTpm;
    }
    const TSS2_RC rc = Esys_Initialize(&esys_, tcti_, nullptr);
    if (rc != TSS2_RC_SUCCESS) {
        esys_ = nullptr;
        return FromRc(rc, Status::noTpm);
    }
    return Status::ok;
}

TSS2_RC TpmBaseRc(TSS2_RC rc)
{
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    if (rc == TSS2_RC_SUCCESS || (layer != TSS2_TPM_RC_LAYER && layer != TSS2_RESMGR_TPM_RC_LAYER)) {
        return 0;
    }
    const TSS2_RC code = rc & ~TSS2_RC_LAYER_MASK;
    if ((code & TPM2_RC_FMT1) != 0) {
        return code & (TPM2_RC_FMT1 | 0x3F);
    }
    return code & 0xFFF;
}

Status FromRc(TSS2_RC rc, Status tpmRefusal)
{
    if (rc == TSS2_RC_SUCCESS) {
        return Status::ok;
    }
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    if (layer == TSS2_TCTI_RC_LAYER) {
        // The transport failed: the TPM went away or never answered.
        return Status::noTpm;
    }
    if (TpmBaseRc(rc) != 0) {
        return tpmRefusal;
    }
    return Status::failure;
}

} // namespace zorv::tpm2
