// The agent's life: initialise the key-management component with a primary
// and a standby key file, finalise, reset, and initialise on demand from the
// fixed key-file locations.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <unistd.h>

#include "agent_log.h"
#include "bounded.h"
#include "callbacks.h"
#include "lifecycle.h"
#include "reload_lock.h"
#include "zorv_path_rule.h"

using namespace zorva;

namespace {

constexpr time_t kInitLockSeconds = 120;
constexpr size_t kKeyPathMaxLen = ZORVA_KEY_PATH_MAX - 1;

struct KeyFilePair {
    const char *primary;
    const char *standby;
};

// Tried in this order when an operation finds the agent not initialised.
constexpr KeyFilePair kFixedKeyFiles[] = {
    {"/startup_disk/conf/conf_local/zorvm_primary_file.dat", "/startup_disk/conf/conf_local/zorvm_standby_file.dat"},
    {"/VBX/data/zorvm_primary_file.dat.membak", "/VBX/data/zorvm_standby_file.dat.membak"},
};

pthread_mutex_t g_stZorvaInitMutex = PTHREAD_MUTEX_INITIALIZER;

void ClearKeyFileNames()
{
    (void)memset_s(&g_pstZorvaFileName, sizeof g_pstZorvaFileName, 0, sizeof g_pstZorvaFileName);
    (void)memset_s(g_szZorvaPriKeyFile, sizeof g_szZorvaPriKeyFile, 0, sizeof g_szZorvaPriKeyFile);
    (void)memset_s(g_szZorvaStdKeyFile, sizeof g_szZorvaStdKeyFile, 0, sizeof g_szZorvaStdKeyFile);
}

// Fills and registers the callback record and sets up the crypto-library
// lock. 0, or -1 with the crypto-library lock cleared again.
int InitReg()
{
    zorva::FillCallbackRecord();
    if (ZORVA_ZorvThreadSetup() != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoLock, "ZORVA_InitReg", "Setup openssl multi thread failed.");
        return RET_ERR;
    }
    const uint64_t r = QintRegFuncEx(&g_pstZorvaCallBack);
    if (r != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCheck, "ZORVA_InitReg", "Register callback function failed, err (%lu).",
                  static_cast<unsigned long>(r));
        (void)ZORVA_ZorvThreadClearUp();
        return RET_ERR;
    }
    return RET_OK;
}

} // namespace

extern "C" {

int ZORVA_PreInit(const char *primaryKeyFile, const char *standbyKeyFile)
{
    if (access(primaryKeyFile, F_OK) != 0 || access(standbyKeyFile, F_OK) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_PreInit", "The primary file (%s) or standby file (%s) not exist.",
                  primaryKeyFile, standbyKeyFile);
        return ZORVA_ERR_FILE_NOT_EXIST;
    }
    const size_t primaryLen = std::strlen(primaryKeyFile);
    const size_t standbyLen = std::strlen(standbyKeyFile);
    if (primaryLen > kKeyPathMaxLen || standbyLen > kKeyPathMaxLen) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_PreInit", "The primary file (%s) or standby file (%s) is too lenth.",
                  primaryKeyFile, standbyKeyFile);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    // Key-store files are regular files reached without links; a pair that
    // breaks the rule is refused whole, so the agent never runs silently on
    // the one copy it may open.
    const char *checked = nullptr;
    for (const char *path : {primaryKeyFile, standbyKeyFile}) {
        if (const char *problem = ZorvPathRuleProblemBeside(path, &checked); problem != nullptr) {
            ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecrypt, "ZORVA_PreInit", ZORV_PATH_RULE_FORMAT, path, problem);
            return RET_ERR;
        }
    }
    ClearKeyFileNames();
    int c = memcpy_s(g_szZorvaPriKeyFile, sizeof g_szZorvaPriKeyFile, primaryKeyFile, primaryLen);
    if (c != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_PreInit", "memcpy_s is fail, retVal (%d)", c);
        return RET_ERR;
    }
    c = memcpy_s(g_szZorvaStdKeyFile, sizeof g_szZorvaStdKeyFile, standbyKeyFile, standbyLen);
    if (c != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_PreInit", "memcpy_s is fail, retVal (%d)", c);
        return RET_ERR;
    }
    g_pstZorvaFileName.primaryFile = g_szZorvaPriKeyFile;
    g_pstZorvaFileName.standbyFile = g_szZorvaStdKeyFile;
    return RET_OK;
}

int ZORVA_Init(ZorvaLogIntf logFunc, const char *primaryKeyFile, const char *standbyKeyFile)
{
    const timespec deadline{time(nullptr) + kInitLockSeconds, 0};
    const int r = pthread_mutex_timedlock(&g_stZorvaInitMutex, &deadline);
    if (r != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_Init", "ZORVA_Init get mutex_lock failed, ret (%d).", r);
        return RET_ERR;
    }
    const int result = ZORVA_InitMutexLockProtect(logFunc, primaryKeyFile, standbyKeyFile);
    (void)pthread_mutex_unlock(&g_stZorvaInitMutex);
    return result;
}

int ZORVA_InitMutexLockProtect(ZorvaLogIntf logFunc, const char *primaryKeyFile, const char *standbyKeyFile)
{
    if (logFunc == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_InitMutexLockProtect",
                  "(ASSERTION FAILURE) logFunc is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (primaryKeyFile == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_InitMutexLockProtect",
                  "(ASSERTION FAILURE) primaryKeyFile is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (standbyKeyFile == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_InitMutexLockProtect",
                  "(ASSERTION FAILURE) standbyKeyFile is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    // No operation runs while the key store is opened and the state set.
    const zorva::ReloadWriteHold exclusive;
    if (zorva::IsInitialised()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_InitMutexLockProtect", "The process has been initialized.");
        return RET_OK;
    }
    if (!exclusive.held()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_InitMutexLockProtect",
                  "Reload lock not obtained for initialisation, ret (%d).", exclusive.error());
        return RET_ERR;
    }
    zorva::StoreLogFunction(logFunc);

    if (InitReg() != RET_OK) {
        return RET_ERR;
    }
    if (ZORVA_PreInit(primaryKeyFile, standbyKeyFile) != RET_OK) {
        (void)ZORVA_ZorvThreadClearUp();
        return RET_ERR;
    }
    const uint64_t r = QintInitializeEx(0, &g_pstZorvaFileName, 0, nullptr);
    if (r != 0 && r != QINT_LOADED_RESTORED) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_InitMutexLockProtect",
                  "Initialize zorv with key file failed, err (%lu).", static_cast<unsigned long>(r));
        (void)ZORVA_ZorvThreadClearUp();
        return RET_ERR;
    }
    zorva::SetInitialised(true);
    return RET_OK;
}

int ZORVA_Finalize(void)
{
    // The key store is closed only when no operation is inside it.
    const zorva::ReloadWriteHold exclusive;
    if (!zorva::IsInitialised()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_Finalize", "The process has been finalized.");
        return ZORVA_ERR_FINALIZED;
    }
    if (!exclusive.held()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeFinalizeFailed, "ZORVA_Finalize",
                  "Reload lock not obtained for finalisation, ret (%d).", exclusive.error());
        return RET_ERR;
    }
    (void)ZORVA_ZorvThreadClearUp();
    const uint64_t r = QintFinalizeEx();
    if (r != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeFinalizeFailed, "ZORVA_Finalize", "Finalize zorv failed, err (%lu).",
                  static_cast<unsigned long>(r));
        return RET_ERR;
    }
    ZORVA_LOG(ZORVA_LOG_INFO, kCodeFinalized, "ZORVA_Finalize", "Finialize zorva succeed.");
    ClearKeyFileNames();
    zorva::StoreLogFunction(nullptr);
    zorva::SetInitialised(false);
    return RET_OK;
}

int ZORVA_Reset(void)
{
    if (!zorva::IsInitialised()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_Reset", "The process has not been initialized.");
        return ZORVA_ERR_NOT_INITIALIZED;
    }
    const uint64_t r = QintResetEx();
    if (r != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeReload, "ZORVA_Reset", "Reload key file failed, err (%llu).",
                  static_cast<unsigned long long>(r));
        return RET_ERR;
    }
    ZORVA_LOG(ZORVA_LOG_INFO, kCodeReload, "ZORVA_Reset", "Reload key file succeed.");
    return RET_OK;
}

int ZORVA_CheckInitial(void)
{
    if (zorva::IsInitialised()) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CheckInitial", "The process has not been initialized.");
    int r = RET_ERR;
    for (const KeyFilePair &pair : kFixedKeyFiles) {
        r = ZORVA_Init(zorva::CurrentLogFunction(), pair.primary, pair.standby);
        if (r == RET_OK) {
            break;
        }
    }
    return r;
}
}
