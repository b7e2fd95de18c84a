/*
 * Key-management component (libZORV.so): the calls the agent makes and the
 * callback record the component calls back through.
 *
 * Every result is an unsigned 64-bit value, 0 for success.
 * QintInitializeEx also answers QINT_LOADED_RESTORED (254) for a usable
 * store of which one copy was restored from the other.
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

/* Registers the callback record; the component keeps the pointer and uses
 * the slots from then on. 0 on success. */
ZORV_API uint64_t QintRegFuncEx(const QintCallbacks *callbacks);
/* Loads the key store named by fileName (flags and options: 0, 0, NULL).
 * 0: loaded; 254: loaded and one copy restored from the other; else error. */
ZORV_API uint64_t QintInitializeEx(uint32_t flags, const QintKeyFileName *fileName, uint32_t options, void *reserved);
/* Re-reads the store in place; on failure the keys held are kept. 0 on success. */
ZORV_API uint64_t QintResetEx(void);
/* Releases (and wipes) the key store; QintInitializeEx may follow. 0 on success. */
ZORV_API uint64_t QintFinalizeEx(void);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_H */
