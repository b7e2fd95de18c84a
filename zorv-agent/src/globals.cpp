// The agent's process-wide state: zero at load, written by initialisation
// and finalisation.
#include "zorva_main.h"

extern "C" {
int32_t g_bZorvaIsInit = 0;
ZorvaLogIntf g_pfnZorvaLogIntf = nullptr;
char g_szZorvaPriKeyFile[ZORVA_KEY_PATH_MAX] = {};
char g_szZorvaStdKeyFile[ZORVA_KEY_PATH_MAX] = {};
QintKeyFileName g_pstZorvaFileName = {};
QintCallbacks g_pstZorvaCallBack = {};
pthread_rwlock_t g_stZorvaStatusRwLock = PTHREAD_RWLOCK_INITIALIZER;
pthread_rwlock_t g_stZorvaRealoadLock = PTHREAD_RWLOCK_INITIALIZER;
pthread_mutex_t *g_pZorvaLockCs = nullptr;
}

static_assert(sizeof(QintKeyFileName) == 24, "key-file name record is 24 bytes");
static_assert(sizeof(QintCallbacks) == 328, "callback record is 41 slots of 8 bytes");
