// Reloading the key store: when the primary key file changed on disk, or
// always when forced after a failed crypto call. A reset in place first; if
// that fails, finalise and initialise again under exclusive access, falling
// back to the memory-backup key files.
#include <unistd.h>

#include "agent_log.h"
#include "crypto_support.h"
#include "lifecycle.h"

using namespace zorva;
using namespace zorva::crypto;

namespace {

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
        // Exclusive phase: give up this thread's read hold, let the other
        // operations drain, and re-initialise under the write hold. The
        // caller gets its read hold back either way.
        (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        sleep(1);
        (void)pthread_rwlock_wrlock(&g_stZorvaRealoadLock);
        const bool loaded = Reinitialise();
        (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        (void)pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
        if (!loaded) {
            return RET_ERR;
        }
    }
    ZORVA_SaveKeyFileStatus(&status, hashText, sizeof hashText);
    return RET_OK;
}
}
