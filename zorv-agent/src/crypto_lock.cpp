// The crypto-library lock: one mutex from OpenSSL's allocator, set up at
// initialisation and cleared at finalisation or after a failed
// initialisation, with a locking and a thread-id callback in the classic
// form (exported, registered nowhere).
#include <openssl/crypto.h>

#include <cstring>

#include "agent_log.h"
#include "zorva_main.h"

using namespace zorva;

namespace {
constexpr int kCryptoLockCount = 1;
} // namespace

extern "C" {

int ZORVA_ZorvThreadSetup(void)
{
    auto *locks = static_cast<pthread_mutex_t *>(OPENSSL_malloc(kCryptoLockCount * sizeof(pthread_mutex_t)));
    g_pZorvaLockCs = locks;
    if (locks == nullptr) {
        return RET_ERR;
    }
    if (pthread_mutex_init(&locks[0], nullptr) != 0) {
        OPENSSL_free(locks);
        g_pZorvaLockCs = nullptr;
        return RET_ERR;
    }
    return RET_OK;
}

int ZORVA_ZorvThreadClearUp(void)
{
    pthread_mutex_t *locks = g_pZorvaLockCs;
    if (locks == nullptr) {
        return RET_OK;
    }
    const int r = pthread_mutex_destroy(&locks[0]);
    if (r != 0) {
        char text[128] = {};
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoLockDestroy, "ZORVA_ZorvThreadClearUp",
                  "Destroy mutex failure for openssl multithread, reason(%s).", strerror_r(r, text, sizeof text));
    }
    OPENSSL_free(locks);
    g_pZorvaLockCs = nullptr;
    return RET_OK;
}

void ZORVA_ZorvThreadLockingCallback(int mode, int n, const char *, int)
{
    pthread_mutex_t *locks = g_pZorvaLockCs;
    if (locks == nullptr || n < 0 || n >= kCryptoLockCount) {
        return; // no lock in force, or a lock number the array does not have
    }
    if ((mode & 1) != 0) {
        (void)pthread_mutex_lock(&locks[n]);
    } else {
        (void)pthread_mutex_unlock(&locks[n]);
    }
}

void ZORVA_ZorvThreadId(void *) {}
}
