/*
 * Key-management component (libZORV.so): the calls the agent makes and the
 * callback record the component calls back through.
 *
 * Every result is an unsigned 64-bit value, 0 for success.
 * QintInitializeEx also answers QINT_LOADED_RESTORED (254) for a usable
 * store of which one copy was restored from the other. Every failure has a
 * cause of its own (QINT_ERR_*); QintErrorTextEx describes one in words.
 */
#ifndef ZORV_H
#define ZORV_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZORV_API __attribute__((visibility("default")))

#define QINT_TRUE 1
#define QINT_FALSE 0

#define QINT_OK 0u
#define QINT_LOADED_RESTORED 254u /* usable; one copy was rewritten from the other */

/* Failures of the component. Loading answers the first group; a single
 * key-store file is judged with the second (QintAdminVerifyEx reports one per
 * file); the administration functions add the third. */
#define QINT_ERR_NO_CALLBACKS 1001u       /* QintRegFuncEx was not called (or got null) */
#define QINT_ERR_BAD_FILE_NAME 1002u      /* null record, null/empty/overlong path */
#define QINT_ERR_FILES_UNREADABLE 1003u   /* neither file could be opened or read */
#define QINT_ERR_BOTH_DAMAGED 1004u       /* no copy passed its checks */
#define QINT_ERR_UNSUPPORTED_VERSION 1005u/* a copy of another format version, none usable */
#define QINT_ERR_NOT_INITIALIZED 1006u    /* no key store loaded */
#define QINT_ERR_NO_MEMORY 1007u
#define QINT_ERR_CRYPTO 1008u             /* the crypto library failed */
#define QINT_ERR_RANDOM 1009u             /* no random bytes obtained */
#define QINT_ERR_LOCK 1010u               /* the state lock could not be created */

#define QINT_ERR_FILE_MISSING 1101u       /* file does not exist */
#define QINT_ERR_FILE_READ 1102u          /* open or read failed */
#define QINT_ERR_BAD_MAGIC 1103u          /* not a key-store file */
#define QINT_ERR_BAD_LENGTH 1104u         /* truncated, extended or oversized */
#define QINT_ERR_BAD_MAC 1105u            /* file MAC does not match: damaged or edited */
#define QINT_ERR_BAD_CONTENT 1106u        /* MAC fine but the key table is inconsistent */

#define QINT_ERR_FILE_WRITE 1201u         /* open, write, flush or close failed */
#define QINT_ERR_EXISTS 1202u             /* create refused: a store file exists */
#define QINT_ERR_UNKNOWN_DOMAIN 1203u     /* not one of the 37 domain ids */
#define QINT_ERR_UNKNOWN_KEY_ID 1204u
#define QINT_ERR_COPIES_DIFFER 1205u      /* verify: both valid but not equal */
#define QINT_ERR_BAD_ARGUMENT 1206u
#define QINT_ERR_BUFFER_TOO_SMALL 1207u
#define QINT_ERR_KEY_IDS_EXHAUSTED 1208u
#define QINT_ERR_KEY_DISABLED 1209u       /* the key is disabled: kept in the store, refused for every use */
#define QINT_ERR_KEY_ACTIVE 1210u         /* the domain's active key: it cannot be disabled or removed */
#define QINT_ERR_KEY_STATE 1211u          /* the key is not (or not long enough) in the state the call needs */

/* Protection at rest: no protector slot of the store opens here. Loading
 * answers these in place of a damage cause when a copy is whole but cannot
 * be opened on this host. */
#define QINT_ERR_HOST_KEY_MISSING 1301u   /* the host key file does not exist */
#define QINT_ERR_HOST_KEY_BAD 1302u       /* host key file not a private 32-byte file, or unreadable */
#define QINT_ERR_NO_SLOT_OPENS 1303u      /* no slot opens with this host's key (another host's store) */
#define QINT_ERR_WRONG_PASSPHRASE 1304u   /* no recovery slot opens with the passphrase given */
#define QINT_ERR_NO_PASSPHRASE 1305u      /* only recovery slots, and no passphrase given */
#define QINT_ERR_TPM_UNREACHABLE 1306u    /* no TPM reachable */
#define QINT_ERR_TPM_NOT_THIS 1307u       /* the sealed object does not unseal on this TPM */
#define QINT_ERR_TPM_PCR_CHANGED 1308u    /* the PCR values the slot is bound to changed */
#define QINT_ERR_TPM 1309u                /* any other TPM failure */
#define QINT_ERR_BUILTIN_ONLY 1310u       /* a format-1 store (built-in key only): migrate it first */
#define QINT_ERR_LAST_SLOT 1311u          /* refused: no remaining slot would open here */
#define QINT_ERR_NO_SUCH_SLOT 1312u       /* no slot with that id */
#define QINT_ERR_TPM_NO_POLICY 1313u      /* no installed signed PCR policy by the slot's signer for its PCRs */
#define QINT_ERR_TPM_POLICY_REFUSED 1314u /* the TPM refused the key or signature of the matching installed policy */

/* Protectors beyond this host: a key on a PKCS#11 token, a copy sealed for
 * another host. */
#define QINT_ERR_PKCS11_URI 1320u         /* the PKCS#11 URI is malformed, carries a PIN or names no token or key */
#define QINT_ERR_PKCS11_MODULE 1321u      /* the PKCS#11 module does not load, or its path is unsafe */
#define QINT_ERR_PKCS11_TOKEN 1322u       /* no token with the URI's label is present */
#define QINT_ERR_PKCS11_NO_PIN 1323u      /* the token needs a PIN: none given, or the PIN file unreadable or open */
#define QINT_ERR_PKCS11_PIN 1324u         /* the token refused the PIN (or it is locked) */
#define QINT_ERR_PKCS11_KEY_MISSING 1325u /* the token key the URI names is not on the token (deleted?) */
#define QINT_ERR_PKCS11_UNWRAP 1326u      /* the wrapped key does not open under the token key */
#define QINT_ERR_PKCS11 1327u             /* any other PKCS#11 failure */
#define QINT_ERR_NOT_THIS_HOST 1330u      /* a copy sealed for another host */
#define QINT_ERR_SEALED_TAMPERED 1331u    /* a sealed copy changed since it was sealed */
#define QINT_ERR_BAD_HOST_ID 1332u        /* a host id is malformed or mistyped */

/* What the host trusts (its configuration folder, /etc/zorva): which store
 * it serves, whose exports it imports, which PKCS#11 modules it loads. */
#define QINT_ERR_FOREIGN_COPY 1340u       /* a copy of another store beside this one: refused, left as it is */
#define QINT_ERR_NOT_PINNED 1341u         /* not the store this host serves (import or adopt accepts one) */
#define QINT_ERR_FORMAT1_REFUSED 1342u    /* a format-1 store on a host that serves a newer one */
#define QINT_ERR_IMPORT_ONLY 1343u        /* a carried copy: it opens only through import */
#define QINT_ERR_UNSIGNED 1344u           /* no valid signature by an administrator key this host trusts */
#define QINT_ERR_PKCS11_NOT_CONFIGURED 1345u /* the slot's PKCS#11 module is not configured on this host */
#define QINT_ERR_HOST_CONFIG 1346u        /* the host configuration is unsafe or unreadable */
#define QINT_ERR_ROLLBACK 1347u           /* a notice: the copy used is older than the newest the host has seen */

/* Event codes sent through the notify slot (23). The data is a NUL-terminated
 * text (the restored path; "key" for a changed active key), its length
 * without the NUL. */
#define QINT_EVENT_COPY_RESTORED 1
#define QINT_EVENT_ACTIVE_KEY_CHANGED 2

/* Log levels the component uses in the log slot (22). */
#define QINT_LOG_NOTICE 1
#define QINT_LOG_FAILURE 2
#define QINT_LOG_DETAIL 3

/* Key-file name record, 24 bytes: what QintInitializeEx loads. */
typedef struct QintKeyFileName {
    const char *primaryFile;
    const char *standbyFile;
    void *reserved; /* zero */
} QintKeyFileName;

/* Open modes of the file-open slot. */
#define QINT_OPEN_READ 0       /* "rb" */
#define QINT_OPEN_WRITE 1      /* "wb" */
#define QINT_OPEN_READWRITE 2  /* "w+b" */

/*
 * Callback record, 41 slots of 8 bytes, slot i at offset 8*i. Any slot may be
 * null; the component then does without it (file slots: plain stdio; lock
 * slots: no locking beyond its own; log, event, do-events: nothing; random
 * bytes: the crypto library's generator; time: gmtime_r).
 */
typedef struct QintCallbacks {
    void *reserved0;                                                     /* 0 */
    void *reserved1;                                                     /* 1 */
    void *reserved2;                                                     /* 2 */
    void *(*fileOpen)(const char *path, int mode);                       /* 3 */
    int (*fileClose)(void *stream);                                      /* 4 */
    int (*fileRead)(void *buffer, size_t length, void *stream);          /* 5: QINT_TRUE/QINT_FALSE */
    int (*fileWrite)(const void *data, size_t length, void *stream);     /* 6: QINT_TRUE/QINT_FALSE */
    int (*fileFlush)(void *stream);                                      /* 7 */
    int (*fileRemove)(const char *path);                                 /* 8 */
    long (*fileTell)(void *stream);                                      /* 9 */
    long (*fileSeek)(void *stream, long offset, int whence);             /* 10 */
    int (*fileEof)(void *stream, int *isEof);                            /* 11 */
    int (*fileError)(void *stream);                                      /* 12 */
    int (*fileExist)(const char *path);                                  /* 13: QINT_TRUE/QINT_FALSE */
    int (*lockCreate)(void **lock);                                      /* 14: QINT_TRUE/QINT_FALSE */
    void (*lockDestroy)(void *lock);                                     /* 15 */
    void (*lockAcquire)(void *lock);                                     /* 16 */
    void (*lockRelease)(void *lock);                                     /* 17 */
    int (*procLockCreate)(void *lock);                                   /* 18 */
    void (*procLockDestroy)(void *lock);                                 /* 19 */
    void (*procLockAcquire)(void *lock);                                 /* 20 */
    void (*procLockRelease)(void *lock);                                 /* 21 */
    void (*log)(int level, const char *text1, const char *text2, int number, char *message); /* 22 */
    void (*notify)(int32_t eventCode, const void *data, size_t length);  /* 23 */
    void (*doEvents)(void);                                              /* 24 */
    int (*randomBytes)(unsigned char *buffer, int count);                /* 25: 1 on success */
    void *reserved26;                                                    /* 26 */
    void *reserved27;                                                    /* 27 */
    int (*gmTime)(const time_t *calendarTime, struct tm *brokenDown);    /* 28: QINT_TRUE/QINT_FALSE */
    void *reserved29[12];                                                /* 29..40 */
} QintCallbacks;

#define QINT_CALLBACK_SLOTS 41

/* Registers the callback record: the component copies the 328 bytes and uses
 * the slots from then on (registering again replaces the copy; the lock slots
 * of a loaded store stay those it was loaded with). 0 on success,
 * QINT_ERR_NO_CALLBACKS for a null record. */
ZORV_API uint64_t QintRegFuncEx(const QintCallbacks *callbacks);
/* Loads the key store named by fileName (flags and options: 0, 0, NULL;
 * ignored). 0: loaded; 254: loaded and one copy restored from the other;
 * else QINT_ERR_NO_CALLBACKS, _BAD_FILE_NAME, _FILES_UNREADABLE,
 * _BOTH_DAMAGED, _UNSUPPORTED_VERSION, _NO_MEMORY, _CRYPTO or _LOCK. Called
 * on a loaded store it reloads from the new names (keys kept on failure). */
ZORV_API uint64_t QintInitializeEx(uint32_t flags, const QintKeyFileName *fileName, uint32_t options, void *reserved);
/* Re-reads the store in place (a damaged copy is restored, still 0); on
 * failure the keys held are kept and the cause is returned;
 * QINT_ERR_NOT_INITIALIZED when nothing is loaded. */
ZORV_API uint64_t QintResetEx(void);
/* Releases (and wipes) the key store and destroys the state lock;
 * QintInitializeEx may follow. 0, also when nothing was loaded. No Mur call
 * may be running. */
ZORV_API uint64_t QintFinalizeEx(void);

/* A short English description of a QINT_ result; never null. */
ZORV_API const char *QintErrorTextEx(uint64_t code);

/* What the last QintInitializeEx or QintResetEx of the calling thread found,
 * for the console of the program that asked: the result and, beside it, what
 * an operator should look at (the files and their causes, the host key
 * file's owner and mode, the PCRs that changed, the module's or token's own
 * words). A load that succeeded may carry a notice: a copy restored or
 * refused, a store protected by the built-in key only, an older copy than the
 * host has seen. */
#define QINT_REPORT_TEXT_MAX 1024
typedef struct QintLoadReport {
    uint64_t result;   /* 0, QINT_LOADED_RESTORED or the failure */
    uint64_t notice;   /* 0, or what a successful load wants said (a QINT_ code) */
    uint32_t permanent; /* failure: 1 when trying again cannot help until a file changes */
    uint32_t fresh;     /* 1 when this load read the files (0: answered from what an earlier load found) */
    uint64_t sequence;  /* loads of the calling thread so far: tells whether a load happened since */
    char cause[160];    /* QintErrorTextEx of the failure, or of the notice */
    char detail[QINT_REPORT_TEXT_MAX];       /* the failure's or the notice's detail; may be empty */
} QintLoadReport;
/* Fills report; 0, or QINT_ERR_BAD_ARGUMENT for a null report. */
ZORV_API uint64_t QintLastLoadEx(QintLoadReport *report);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_H */
