/*
 * Administration of a key-store pair, beside the agent's four calls; used by
 * zorvm_keytool. They work on the files only (a running service notices a
 * changed primary file and reloads) through the registered callback record,
 * or through plain stdio when none is registered. Results are QINT_ codes.
 *
 * Files are always written standby first, then primary, each whole and
 * flushed; new files are created readable and writable by their owner only.
 * A mutation starts from the newest valid copy and writes both; when no copy
 * is valid nothing is written.
 */
#ifndef ZORV_ADMIN_H
#define ZORV_ADMIN_H

#include <stdint.h>

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QINT_ADMIN_FORCE 1u          /* create: overwrite an existing store */
#define QINT_ALL_DOMAINS 0xFFFFFFFFu /* rotate: every domain */

#define QINT_KEY_ACTIVE 1u
#define QINT_KEY_RETIRED 2u

#define QINT_FILE_NONE 0u
#define QINT_FILE_PRIMARY 1u
#define QINT_FILE_STANDBY 2u

/* What became of each file: its check result (0 valid, or a QINT_ERR_ file
 * cause), its update counter when valid, and which file a failure is about. */
typedef struct QintAdminReport {
    uint64_t primaryStatus;
    uint64_t standbyStatus;
    uint64_t primaryCounter;
    uint64_t standbyCounter;
    uint32_t failedFile; /* QINT_FILE_ */
    uint32_t reserved;
} QintAdminReport;

typedef struct QintStoreInfo {
    uint32_t version;
    uint32_t keyCount;
    uint64_t updateCounter;
    int64_t created; /* seconds since the epoch, UTC */
    int64_t updated;
} QintStoreInfo;

typedef struct QintKeyInfo {
    uint32_t domain;
    uint32_t keyId;
    uint32_t state; /* QINT_KEY_ACTIVE or QINT_KEY_RETIRED */
    uint32_t reserved;
    int64_t created;
} QintKeyInfo;

/* Each function accepts a null report. */

/* New pair: a fresh salt and one active key (id 1) for each of the 37
 * domains. QINT_ERR_EXISTS when either file exists and flags lacks
 * QINT_ADMIN_FORCE. */
ZORV_API uint64_t QintAdminCreateEx(const QintKeyFileName *names, uint32_t flags, QintAdminReport *report);
/* Retires the active key of domain (or of all, QINT_ALL_DOMAINS) and adds a
 * new active key with the next id. QINT_ERR_UNKNOWN_DOMAIN for other ids. */
ZORV_API uint64_t QintAdminRotateEx(const QintKeyFileName *names, uint32_t domain, QintAdminReport *report);
/* Keeps, per domain, the active key and the `keep` newest retired keys;
 * cipher texts under the removed keys can no longer be decrypted. *removed
 * (may be null) gets the number of keys removed; nothing is written when it
 * is 0. */
ZORV_API uint64_t QintAdminPruneEx(const QintKeyFileName *names, uint32_t keep, uint32_t *removed,
                                   QintAdminReport *report);
/* Lists the keys of the newest valid copy, never their material. With keys
 * null or capacity too small: QINT_ERR_BUFFER_TOO_SMALL and *count the
 * number needed. info may be null. */
ZORV_API uint64_t QintAdminListEx(const QintKeyFileName *names, QintKeyInfo *keys, uint32_t capacity, uint32_t *count,
                                  QintStoreInfo *info, QintAdminReport *report);
/* 0 only when both files are valid and byte-for-byte equal; otherwise the
 * cause of the first wrong file (report says which) or QINT_ERR_COPIES_DIFFER.
 * Reads only. */
ZORV_API uint64_t QintAdminVerifyEx(const QintKeyFileName *names, QintAdminReport *report);
/* Writes the newest valid copy to both files of target (standby first). */
ZORV_API uint64_t QintAdminBackupEx(const QintKeyFileName *names, const QintKeyFileName *target,
                                    QintAdminReport *report);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_ADMIN_H */
