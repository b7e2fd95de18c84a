/*
 * The agent library (libzorva.so): initialise and finalise the process's use
 * of the key store, encrypt and decrypt to and from Base64 text, compute and
 * verify HMACs, Base64, and the wiping allocator.
 *
 * Ownership: every buffer handed out (cipher text, plain text, HMAC text,
 * Base64 results) comes from ZORVA_MemAlloc and belongs to the caller once
 * the call returned 0; the caller gives it back with ZORVA_MemClearFree and
 * the length returned with it. On failure nothing is handed out and the
 * output arguments are untouched.
 *
 * The library calls memcpy_s, memset_s and sprintf_s of the program that
 * loads it.
 */
#ifndef ZORVA_MAIN_H
#define ZORVA_MAIN_H

#include <pthread.h>
#include <stdint.h>
#include <sys/stat.h>

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZORVA_API __attribute__((visibility("default")))

/* Return codes. */
#define RET_OK 0
#define RET_ERR (-1)
#define ZORVA_ERR_DOMAIN_INVALID 10001
#define ZORVA_ERR_PARAMETER_INVALID 10002
#define ZORVA_ERR_FILE_NOT_EXIST 10003
#define ZORVA_ERR_FINALIZED 10005
#define ZORVA_ERR_MEM_ALLOC 10006
#define ZORVA_ERR_NOT_INITIALIZED 10007

#define ZORVA_MODULE_ID 559
#define ZORVA_KEY_PATH_MAX 128 /* buffer size; a path has at most 127 characters */
#define ZORVA_DOMAIN_COUNT 37
#define ZORVA_HMAC_ALG_COUNT 3
#define ZORVA_SHA256_TEXT_LEN 256

/* Log levels of the caller's log function. */
#define ZORVA_LOG_ERROR 2
#define ZORVA_LOG_RETRY 3
#define ZORVA_LOG_INFO 4
#define ZORVA_LOG_EVENT 5

/* The caller's log function: module (559), level, function name, source
 * line, log code (0 for none), printf-style format and its values. */
typedef void (*ZorvaLogIntf)(int32_t module, int32_t level, const char *function, int32_t line, int32_t code,
                             const char *format, ...);

/* Parameters of the HMAC functions. */
typedef struct ZorvaParms {
    uint32_t domainId;
    uint32_t hmacAlgIndex; /* 0, 1, 2 */
} ZorvaParms;

/* Process state. */
ZORVA_API extern int32_t g_bZorvaIsInit;
ZORVA_API extern ZorvaLogIntf g_pfnZorvaLogIntf;
ZORVA_API extern char g_szZorvaPriKeyFile[ZORVA_KEY_PATH_MAX];
ZORVA_API extern char g_szZorvaStdKeyFile[ZORVA_KEY_PATH_MAX];
ZORVA_API extern QintKeyFileName g_pstZorvaFileName;
ZORVA_API extern QintCallbacks g_pstZorvaCallBack;
ZORVA_API extern pthread_rwlock_t g_stZorvaStatusRwLock;
ZORVA_API extern pthread_rwlock_t g_stZorvaRealoadLock;
ZORVA_API extern pthread_mutex_t *g_pZorvaLockCs;
ZORVA_API extern const uint32_t g_arrZorvaDomainId[ZORVA_DOMAIN_COUNT];
ZORVA_API extern const uint32_t g_arrZorvaHmacAlgId[ZORVA_HMAC_ALG_COUNT];
ZORVA_API extern struct stat g_stOldStat;
ZORVA_API extern char g_sha256SumOld[ZORVA_SHA256_TEXT_LEN];

/* Lifecycle. */
ZORVA_API int ZORVA_Init(ZorvaLogIntf logFunc, const char *primaryKeyFile, const char *standbyKeyFile);
ZORVA_API int ZORVA_InitMutexLockProtect(ZorvaLogIntf logFunc, const char *primaryKeyFile, const char *standbyKeyFile);
ZORVA_API int ZORVA_Finalize(void);
ZORVA_API int ZORVA_Reset(void);
ZORVA_API int ZORVA_CheckInitial(void);

/* Callbacks and path check. */
ZORVA_API void ZORVA_RecvNotify(int32_t eventCode, const void *data, size_t length);
ZORVA_API void ZORVA_DoEvents(void);
/* 0 when path resolves to a text that begins with prefix, the prefix ending
 * at a '/' of it or at its end (a trailing '/' of the prefix is ignored);
 * -1 otherwise. A null or empty prefix accepts any path. */
ZORVA_API int ZORVA_CheckPath(const char *path, const char *prefix);

/* Locks. */
ZORVA_API int ZORVA_CreateLock(void **phMutex);
ZORVA_API void ZORVA_DestroyLock(void *hMutex);
ZORVA_API void ZORVA_AddLock(void *hMutex);
ZORVA_API void ZORVA_ReleaseLock(void *hMutex);
ZORVA_API void ZORVA_AddProLock(void *semId);
ZORVA_API void ZORVA_ReleaseProLock(void *semId);
ZORVA_API void ZORVA_DestroyProLock(void *semId);
ZORVA_API int ZORVA_ZorvThreadSetup(void);
ZORVA_API int ZORVA_ZorvThreadClearUp(void);
ZORVA_API void ZORVA_ZorvThreadLockingCallback(int mode, int n, const char *file, int line);
ZORVA_API void ZORVA_ZorvThreadId(void *id);

/* Log bridge. */
ZORVA_API void ZORVA_ZorvLog(int level, const char *text1, const char *text2, int number, char *message);
ZORVA_API void ZORVA_SpecialCharReplace(char *text);

/* Encrypt and decrypt. The entry points (ZORVA_Encrypt, ZORVA_Decrypt,
 * ZORVA_CalcHmac, ZORVA_VerifyHmac) take a read hold of g_stZorvaRealoadLock
 * themselves. The raw data calls (ZORVA_EncryptData, ZORVA_DecryptData,
 * ZORVA_CalcHmacData, ZORVA_VerifyHmacData) and ZORVA_CheckReloadKeyFile must
 * be called with it held in read mode by the calling thread (for instance
 * with pthread_rwlock_rdlock): a re-initialisation after a failed reset gives
 * that hold up, takes the lock in write mode and returns with the read hold
 * taken again. The raw data calls answer -1 when the agent is not
 * initialised. ZORVA_Init and ZORVA_Finalize take the lock in write mode:
 * they wait for running operations and none starts meanwhile. */
ZORVA_API int ZORVA_Encrypt(uint32_t domainId, const char *plainText, uint32_t plainTextLen, char **cipherText,
                            uint32_t *cipherTextLen);
ZORVA_API int ZORVA_Decrypt(uint32_t domainId, const char *cipherText, uint32_t cipherTextLen, char **plainText,
                            uint32_t *plainTextLen);
ZORVA_API int ZORVA_EncryptData(uint32_t domainId, const unsigned char *plainText, uint32_t plainTextLen,
                                unsigned char *cipherText, uint32_t *cipherTextLen);
ZORVA_API int ZORVA_DecryptData(uint32_t domainId, const unsigned char *cipherText, uint32_t cipherTextLen,
                                unsigned char *plainText, uint32_t *plainTextLen);
ZORVA_API int ZORVA_GetCipherLen(uint32_t plainLen, uint32_t *puCBufLen);
ZORVA_API int ZORVA_DomainIdValid(uint32_t domainId);
ZORVA_API int ZORVA_CheckParms(const ZorvaParms *zorvaParms);

/* HMAC. */
ZORVA_API uint32_t ZORVA_GetAlgorithmId(uint32_t algIndex);
ZORVA_API int ZORVA_CalcHmac(const ZorvaParms *zorvaParms, const unsigned char *plainBuf, uint32_t plainLen,
                             char **hmacText, uint32_t *hmacLen);
ZORVA_API int ZORVA_VerifyHmac(const ZorvaParms *zorvaParms, const unsigned char *plainBuf, uint32_t plainLen,
                               const char *hmacText, uint32_t hmacTextLen);
ZORVA_API int ZORVA_CalcHmacData(const ZorvaParms *zorvaParms, const unsigned char *plainText, uint32_t plainLen,
                                 unsigned char *cipherText, uint32_t *cipherLen);
ZORVA_API int ZORVA_VerifyHmacData(const ZorvaParms *zorvaParms, const unsigned char *plainText, uint32_t plainLen,
                                   const unsigned char *cipherText, uint32_t cipherLen);

/* Base64. */
ZORVA_API uint32_t ZORVA_Base64EncodeLen(uint32_t n);
ZORVA_API uint32_t ZORVA_Base64DecodeLen(const char *text, uint32_t n);
ZORVA_API int ZORVA_Base64Encode(const unsigned char *in, uint32_t inLen, char **out, uint32_t *outLen);
ZORVA_API int ZORVA_Base64Decode(const char *text, uint32_t textLen, unsigned char **out, uint32_t *outLen);

/* Key-file change detection and reload. */
ZORVA_API int ZORVA_CheckReloadKeyFile(uint32_t force);
ZORVA_API int ZORVA_CheckTimeStamp(struct stat *status);
ZORVA_API int ZORVA_Checksha256(char *hashText);
ZORVA_API int ZORVA_GetKeyFileSha256(unsigned char *digest, int32_t capacity);
ZORVA_API void ZORVA_SaveKeyFileStatus(const struct stat *status, const char *hashText, uint32_t hashTextLen);

/* Allocator. */
ZORVA_API void *ZORVA_MemAlloc(uint32_t size);
ZORVA_API void ZORVA_MemClearFree(void *block, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZORVA_MAIN_H */
