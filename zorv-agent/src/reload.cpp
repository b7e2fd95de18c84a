// Reloading the key store: when the primary key file changed on disk, or
// always when forced after a failed crypto call. A reset in place first; if
// that fails, finalise and initialise again under exclusive access, falling
// back to the memory-backup key files.
#include "agent_log.h"
#include "crypto_support.h"
#include "lifecycle.h"

using namespace zorva;
using namespace zorva::crypto;

namespace {

constexpr unsigned kDrainSeconds = 1;
constexpr const char *kBackupPrimaryFile = "/VBX/data/zorvm_primary_file.dat.membak";
constexpr const char *kBackupStandbyFile = "/VBX/data/zorvm_standby_file.dat.membak";

bool Loaded(uint64_t r)
{
    return r == 0 || r == QINT_LOADED_RESTORED;
}

// Finalises and initialises the key store again, current key files first,
// then the memory-backup pair. The caller holds the reload lock in write
// mode, so no crypto operation of this process is inside the component.
bool Reinitialise()
{
    const uint64_t finalized = QintFinalizeEx();
    if (finalized != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_CheckReloadKeyFile", "Finalize zorv failed, err (%lu).",
                  static_cast<unsigned long>(finalized));
    }
    uint64_t r = QintInitializeEx(0, &g_pstZorvaFileName, 0, nullptr);
    if (Loaded(r)) {
        return true;
    }
    // When the backup pair is missing the staged paths stay as they were.
    (void)ZORVA_PreInit(kBackupPrimaryFile, kBackupStandbyFile);
    r = QintInitializeEx(0, &g_pstZorvaFileName, 0, nullptr);
    if (Loaded(r)) {
        return true;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_CheckReloadKeyFile",
              "Initialize zorv with key file failed, err (%lu).", static_cast<unsigned long>(r));
    return false;
}

} // namespace

extern "C" {

int ZORVA_CheckReloadKeyFile(uint32_t force)
{
    // The caller holds the reload lock in read mode (an operation of ours, or
    // a hold it took itself on the exported lock): that hold is the one the
    // exclusive phase gives up and takes back.
    struct stat status = {};
    char hashText[ZORVA_SHA256_TEXT_LEN] = {};

    bool reload = force != 0;
    if (ZORVA_CheckTimeStamp(&status) == 1) {
        if (ZORVA_Checksha256(hashText) == 1) {
            reload = true;
        } else {
            // Same contents under a new time: remember the time, keep the keys.
            ZORVA_SaveKeyFileStatus(&status, hashText, sizeof hashText);
        }
    }
    if (!reload) {
        return RET_OK;
    }

    ZORVA_LOG(ZORVA_LOG_INFO, kCodeReload, "ZORVA_CheckReloadKeyFile",
              "The force is (%d), and need to reload key file.", static_cast<int>(force));
    const uint64_t reset = QintResetEx();
    ZORVA_LOG(ZORVA_LOG_INFO, kCodeReload, "ZORVA_CheckReloadKeyFile", "Reload key file done, ret (%lu).",
              static_cast<unsigned long>(reset));
    if (reset != 0) {
        // Exclusive phase: give up the caller's read hold, let the other
        // operations drain, and re-initialise under the write hold. The
        // caller gets its read hold back either way.
        zorva::ReloadExclusivePhase exclusive(kDrainSeconds);
        if (!exclusive.exclusive()) {
            ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_CheckReloadKeyFile",
                      "Reload lock not obtained for re-initialisation, ret (%d).", exclusive.error());
            return RET_ERR;
        }
        // A finalise that ran while this thread waited leaves nothing to
        // reload: the key store must stay closed.
        if (!zorva::IsInitialised()) {
            ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_CheckReloadKeyFile", "The process has not been initialized.");
            return RET_ERR;
        }
        if (!Reinitialise()) {
            return RET_ERR;
        }
    }
    ZORVA_SaveKeyFileStatus(&status, hashText, sizeof hashText);
    return RET_OK;
}
}
