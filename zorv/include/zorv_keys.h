/*
 * Key access for the data-protection component (libMUR.so). Not for the
 * agent: it only names the calls libMUR makes into libZORV.
 *
 * A key table is an immutable snapshot of the loaded store. Acquire one, look
 * keys up in it, release it; a reload swaps in a new table and the old one is
 * wiped and freed when its last holder releases it, so a caller always sees a
 * whole table.
 */
#ifndef ZORV_KEYS_H
#define ZORV_KEYS_H

#include <stdint.h>

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QINT_KEY_BYTES 32u
#define QINT_ACTIVE_KEY 0u /* key id for "the domain's active key" */

typedef struct QintKeyTable QintKeyTable;

typedef struct QintKeyRef {
    uint32_t domain;
    uint32_t keyId;
    const unsigned char *encKey;  /* QINT_KEY_BYTES, AES-256 key */
    const unsigned char *hmacKey; /* QINT_KEY_BYTES, HMAC key */
} QintKeyRef;

/* 0 and *table set (to be released), or QINT_ERR_NOT_INITIALIZED /
 * QINT_ERR_BAD_ARGUMENT. */
ZORV_API uint64_t QintKeyTableAcquireEx(const QintKeyTable **table);
/* Gives an acquired table back; null is ignored. */
ZORV_API void QintKeyTableReleaseEx(const QintKeyTable *table);
/* Finds the key (keyId QINT_ACTIVE_KEY: the active one). The pointers in ref
 * stay valid until the table is released. 0, QINT_ERR_UNKNOWN_DOMAIN,
 * QINT_ERR_UNKNOWN_KEY_ID, QINT_ERR_KEY_DISABLED (the key is in the store
 * but disabled: never unwrapped, ref untouched) or QINT_ERR_BAD_ARGUMENT. */
ZORV_API uint64_t QintKeyLookupEx(const QintKeyTable *table, uint32_t domain, uint32_t keyId, QintKeyRef *ref);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_KEYS_H */
