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

#include <stddef.h>
#include <stdint.h>

#include "zorv.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QINT_ADMIN_FORCE 1u          /* create: overwrite an existing store */
#define QINT_ADMIN_RECOVERY 2u       /* create, migrate: add a recovery slot too */
#define QINT_ALL_DOMAINS 0xFFFFFFFFu /* rotate: every domain */

#define QINT_KEY_ACTIVE 1u
#define QINT_KEY_RETIRED 2u
#define QINT_KEY_DISABLED 3u /* kept in the store, refused for every use (QINT_ERR_KEY_DISABLED) */

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

/* Protector slot types. A store's root key is random and held in one or
 * more slots, any of which opens it. BUILTIN stands for the only protection
 * of a format-1 store; it is never written. */
#define QINT_PROTECT_HOST 1u      /* the host key file */
#define QINT_PROTECT_TPM2 2u      /* a secret sealed to this host's TPM 2.0 */
#define QINT_PROTECT_HOST_TPM2 3u /* both: the host key file and the TPM */
#define QINT_PROTECT_RECOVERY 4u  /* a passphrase (scrypt) */
#define QINT_PROTECT_BUILTIN 5u   /* format 1: the built-in derivation */
#define QINT_PROTECT_PKCS11 6u    /* an AES key on a PKCS#11 token (URI and module in the slot) */
#define QINT_PROTECT_SEALED_FOR 7u /* sealed for one host's identity (export); replaced on import */

/* The slot types, one entry each: what a slot of the type needs to open
 * (QINT_NEEDS_) and where it may be used (QINT_SLOT_). */
#define QINT_NEEDS_HOST_KEY 1u   /* the host key file */
#define QINT_NEEDS_TPM 2u        /* this host's TPM 2.0 */
#define QINT_NEEDS_TOKEN 4u      /* a PKCS#11 token (and its PIN) */
#define QINT_NEEDS_PASSPHRASE 8u /* the recovery passphrase */

#define QINT_SLOT_WRITTEN 1u  /* stored in format-2 files (all types but BUILTIN) */
#define QINT_SLOT_PROTECTS 2u /* a store's protection: create, migrate, import (protectType) */
#define QINT_SLOT_ADDABLE 4u  /* added by QintAdminAddSlotEx */
#define QINT_SLOT_TRAVELS 8u  /* kept in a copy for another host (export) and taken in by import */

typedef struct QintSlotType {
    uint32_t type;    /* QINT_PROTECT_ */
    uint32_t needs;   /* QINT_NEEDS_ */
    uint32_t uses;    /* QINT_SLOT_ */
    uint32_t reserved;
    const char *name; /* "host", "tpm2", "host+tpm2", "recovery", "builtin", "pkcs11", "sealed-for" */
} QintSlotType;

/* The slot type at index (0, 1, ... in the order of the QINT_PROTECT_
 * values); null past the last. Static data, never freed. */
ZORV_API const QintSlotType *QintSlotTypeEx(uint32_t index);

/* What this process uses to open and to make slots, for every load (the
 * agent's too) and every administration call after it. */
typedef struct QintProtectSettings {
    const char *hostKeyFile;         /* null: $ZORVA_HOST_KEY if absolute, else /etc/zorvm_host.key */
    const unsigned char *passphrase; /* recovery passphrase, or null; copied */
    size_t passphraseLength;         /* 1..1024 */
    uint32_t tpm2PcrMask;            /* new TPM slots: bit i binds SHA-256 PCR i (0..23); 0: none */
    uint32_t recoveryLog2N;          /* new recovery slots: scrypt N = 2^this (14..20); 0: 17 */
    const char *pkcs11Uri;           /* new pkcs11 slots: the token key's PKCS#11 URI (RFC 7512) */
    const char *pkcs11Module;        /* new pkcs11 slots: the module's absolute path; null: the URI's module-path */
    const unsigned char *pkcs11Pin;  /* token PIN for making and opening pkcs11 slots; null: the URI's
                                        pin-source file; copied */
    size_t pkcs11PinLength;          /* 1..256 */
    uint32_t pkcs11Flags;            /* QINT_PKCS11_GENERATE_KEY */
    const unsigned char *tpm2Signer; /* new TPM slots: open through PCR policies signed by this key (PEM public
                                        key: ECC P-256, RSA-2048 or RSA-3072; needs tpm2PcrMask) instead of
                                        the PCRs' current values; null: the values; copied */
    size_t tpm2SignerLength;
} QintProtectSettings;

#define QINT_PKCS11_GENERATE_KEY 1u /* new pkcs11 slots: make the token key (AES-256, sensitive, not
                                       extractable) when the token has none with the URI's label */

/* Replaces the settings (null: back to the defaults); the passphrase held
 * before is wiped. 0, QINT_ERR_BAD_ARGUMENT (also for a signer that is not
 * such a key, or without PCRs) or QINT_ERR_NO_MEMORY. */
ZORV_API uint64_t QintProtectSetEx(const QintProtectSettings *settings);
/* The host key file in effect; valid until the next call. Never null. */
ZORV_API const char *QintHostKeyFileEx(void);

#define QINT_SLOT_TOKEN_MAX 1024

typedef struct QintSlotInfo {
    uint32_t id;
    uint32_t type;     /* QINT_PROTECT_ */
    uint32_t pcrMask;  /* TPM types */
    uint32_t pcrChanged; /* status QINT_ERR_TPM_PCR_CHANGED: the bound PCRs whose current values differ from
                            those sealed to, or from the closest installed signed policy's (0: not known) */
    uint64_t status;   /* 0: opens here; else why not (QINT_ERR_HOST_KEY_MISSING, ...) */
    /* pkcs11: the token key's URI, then " (module PATH)"; cut to fit, always
     * terminated. Empty for the other types. */
    char token[QINT_SLOT_TOKEN_MAX];
    /* TPM types sealed to signed PCR policies: the signer's id (16 hex
     * digits, as tpm2-policy list shows it); empty otherwise. */
    char signer[20];
} QintSlotInfo;

typedef struct QintStoreInfo {
    uint32_t version; /* file format: 1 (built-in key only) or 2 (protector slots) */
    uint32_t keyCount;
    uint64_t updateCounter;
    int64_t created; /* seconds since the epoch, UTC */
    int64_t updated;
} QintStoreInfo;

typedef struct QintKeyInfo {
    uint32_t domain;
    uint32_t keyId;
    uint32_t state; /* QINT_KEY_ACTIVE, QINT_KEY_RETIRED or QINT_KEY_DISABLED */
    uint32_t reserved;
    int64_t created;
} QintKeyInfo;

/* Each function accepts a null report. */

/* New pair: a fresh salt, a random root key in a host slot and one active
 * key (id 1) for each of the 37 domains. QINT_ERR_EXISTS when either file
 * exists and flags lacks QINT_ADMIN_FORCE. Mutations of a format-1 store
 * (rotate, prune) answer QINT_ERR_BUILTIN_ONLY: migrate it first. */
ZORV_API uint64_t QintAdminCreateEx(const QintKeyFileName *names, uint32_t flags, QintAdminReport *report);
/* New pair protected by a slot of protectType (QINT_PROTECT_HOST, _TPM2 or
 * _HOST_TPM2) and, with QINT_ADMIN_RECOVERY, a recovery slot (the
 * passphrase of the settings). A missing host key file is created (mode
 * 0400); an existing one is never replaced. QintAdminCreateEx is this with
 * QINT_PROTECT_HOST. */
ZORV_API uint64_t QintAdminCreateProtectedEx(const QintKeyFileName *names, uint32_t flags, uint32_t protectType,
                                             QintAdminReport *report);
/* The slots of the newest copy and whether each opens here (a format-1
 * store: one QINT_PROTECT_BUILTIN entry). Capacity rules as for
 * QintAdminListEx. Answers 0 also when no slot opens; the statuses say why. */
ZORV_API uint64_t QintAdminSlotsEx(const QintKeyFileName *names, QintSlotInfo *slots, uint32_t capacity,
                                   uint32_t *count, QintAdminReport *report);
/* Adds a slot of type (any but BUILTIN) holding the same root key; *slotId
 * (may be null) gets its id. The store must open here. QINT_ERR_BUILTIN_ONLY
 * for a format-1 store; QINT_ERR_BAD_ARGUMENT when it has 8 slots. */
ZORV_API uint64_t QintAdminAddSlotEx(const QintKeyFileName *names, uint32_t type, uint32_t *slotId,
                                     QintAdminReport *report);
/* Removes slot slotId. QINT_ERR_NO_SUCH_SLOT; QINT_ERR_LAST_SLOT when no
 * remaining slot would open the store here (nothing written). */
ZORV_API uint64_t QintAdminRemoveSlotEx(const QintKeyFileName *names, uint32_t slotId, QintAdminReport *report);
/* Rewrites a store that opens here (format 1 included) under a new random
 * root key and salt, protected by one slot of protectType and, with
 * QINT_ADMIN_RECOVERY, a recovery slot; every key and key id stays, so every
 * cipher text and HMAC made before still verifies. */
ZORV_API uint64_t QintAdminMigrateEx(const QintKeyFileName *names, uint32_t protectType, uint32_t flags,
                                     QintAdminReport *report);

#define QINT_ADMIN_KEEP_SLOTS 4u /* migrate: keep the slots that travel (recovery, pkcs11) */

/* What a migration did with each slot of the store it started from. */
typedef struct QintSlotFate {
    uint32_t id;   /* 0: the built-in key of a format-1 store */
    uint32_t type; /* QINT_PROTECT_ */
    uint32_t kept; /* 1: kept, same id, now holding the new root key; 0: replaced */
    uint32_t reserved;
} QintSlotFate;

typedef struct QintMigrateOutcome {
    QintSlotFate before[8];
    uint32_t beforeCount;
    uint32_t newSlot;      /* id of the slot of protectType */
    uint32_t recoverySlot; /* id of the new recovery slot (QINT_ADMIN_RECOVERY), else 0 */
    uint32_t failedSlot;   /* a slot to keep that could not take the new root key: its id (the result says
                              why, e.g. QINT_ERR_NO_PASSPHRASE for a recovery slot); else 0 */
} QintMigrateOutcome;

/* QintAdminMigrateEx, and with QINT_ADMIN_KEEP_SLOTS the store's recovery
 * and pkcs11 slots stay (a new recovery slot, QINT_ADMIN_RECOVERY, replaces
 * the old ones): each must open here first (a recovery slot with the
 * settings' passphrase, a pkcs11 slot through its token), and then holds the
 * new root key under the same secret; the store keeps its salt. The host's
 * own slots (host, tpm2, host+tpm2) are replaced by the one of protectType.
 * outcome (may be null) says what became of each slot. */
ZORV_API uint64_t QintAdminMigrateKeepingEx(const QintKeyFileName *names, uint32_t protectType, uint32_t flags,
                                            QintMigrateOutcome *outcome, QintAdminReport *report);

/* The current values of the SHA-256 PCRs of mask (bit i = PCR i, 0..23, not
 * 0) read from this host's TPM: values[i] for each bit set, the others
 * zeroed. 0, QINT_ERR_BAD_ARGUMENT, QINT_ERR_TPM_UNREACHABLE or QINT_ERR_TPM. */
ZORV_API uint64_t QintTpm2PcrValuesEx(uint32_t mask, unsigned char values[24][32]);

/* This host's identity as one line of text ("zorva-host1:" and 48
 * characters), the public half of a key pair derived from the host key file
 * (created, mode 0400, when missing). text gets the NUL-terminated line.
 * QINT_ERR_BUFFER_TOO_SMALL below 61 bytes; the host key file's causes. */
ZORV_API uint64_t QintHostIdEx(char *text, size_t capacity);
/* Writes to target a copy of the store (which must open here) whose slots
 * are one sealed-for slot, opened only by the host whose identity hostId
 * is, and the store's recovery and pkcs11 slots, and signs it with the
 * administrator's Ed25519 private key (PEM, wiped by the caller): signature
 * gets the text of the signature file that goes beside the copy
 * (zorvm_export.sig), NUL-terminated. QINT_ERR_BAD_HOST_ID; QINT_ERR_BAD_ARGUMENT
 * when the key is not an Ed25519 private key; QINT_ERR_BUFFER_TOO_SMALL. */
ZORV_API uint64_t QintAdminExportEx(const QintKeyFileName *names, const char *hostId, const QintKeyFileName *target,
                                    const unsigned char *signingKeyPem, size_t signingKeyLength, char *signature,
                                    size_t signatureCapacity, QintAdminReport *report);
/* Takes in a copy made by QintAdminExportEx for this host. Before any slot
 * of the copy is opened, the signature file must name this host, match the
 * bytes of both files (else QINT_ERR_SEALED_TAMPERED, report naming the
 * file) and be made by a key in the host's trusted-admins list (else
 * QINT_ERR_UNSIGNED); signer gets that key's fingerprint. Then the copy is
 * opened through its sealed-for slot only (else QINT_ERR_NOT_THIS_HOST or the
 * slot's cause), the sealed-for slot replaced by one of protectType
 * (QINT_PROTECT_HOST, _TPM2 or _HOST_TPM2), the other slots kept, and the
 * result written to names. QINT_ERR_EXISTS when names exist and flags lacks
 * QINT_ADMIN_FORCE. */
ZORV_API uint64_t QintAdminImportEx(const QintKeyFileName *source, const char *signatureFile,
                                    const QintKeyFileName *names, uint32_t protectType, uint32_t flags, char *signer,
                                    size_t signerCapacity, QintAdminReport *report);

/* The identity of the store at names (its newest valid copy, whatever store
 * the host pins): id gets its 16-byte store id (zero for a format-2 store,
 * which gets one at its next write), counter its update counter. */
ZORV_API uint64_t QintAdminStoreIdEx(const QintKeyFileName *names, unsigned char id[16], uint64_t *counter,
                                     QintAdminReport *report);
/* Takes the store at names as the one this host serves, whatever store the
 * host pinned before: rewrites it (next update counter; a format-2 store
 * gets its store id) and answers its id and counter for the pin, which the
 * caller writes. The store must open here. */
ZORV_API uint64_t QintAdminAdoptEx(const QintKeyFileName *names, unsigned char id[16], uint64_t *counter,
                                   QintAdminReport *report);

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
/* The key lifecycle: rotate, move the cipher texts to the new key, disable
 * the old key (it stays, but every use of it fails loudly), wait, remove it. */

typedef struct QintKeyDetail {
    uint32_t domain;
    uint32_t keyId;
    uint32_t state; /* QINT_KEY_ACTIVE, QINT_KEY_RETIRED or QINT_KEY_DISABLED */
    uint32_t reserved;
    int64_t created;
    int64_t changed; /* the last state change; 0 when none is recorded (never
                        changed, or changed before format 3) */
} QintKeyDetail;

typedef struct QintKeyId {
    uint32_t domain;
    uint32_t keyId;
} QintKeyId;

/* As QintAdminListEx, with each key's last state change. */
ZORV_API uint64_t QintAdminKeyDetailsEx(const QintKeyFileName *names, QintKeyDetail *keys, uint32_t capacity,
                                        uint32_t *count, QintAdminReport *report);
/* Disables (state QINT_KEY_DISABLED) or enables again (QINT_KEY_RETIRED) a
 * key that is not its domain's active key, and records the time of the
 * change. *previous (may be null) gets the state it had; nothing is written
 * when that is the state asked for. QINT_ERR_UNKNOWN_DOMAIN,
 * QINT_ERR_UNKNOWN_KEY_ID, QINT_ERR_KEY_ACTIVE, QINT_ERR_BAD_ARGUMENT for
 * another state, QINT_ERR_BUILTIN_ONLY for a format-1 store. */
ZORV_API uint64_t QintAdminSetKeyStateEx(const QintKeyFileName *names, uint32_t domain, uint32_t keyId,
                                         uint32_t state, uint32_t *previous, QintAdminReport *report);
/* Removes the count keys listed, all or none: each must be in the store and
 * not active, and, when disabledBefore is not 0, disabled since
 * disabledBefore at the latest. Otherwise QINT_ERR_UNKNOWN_KEY_ID,
 * QINT_ERR_KEY_ACTIVE or QINT_ERR_KEY_STATE, *failed (may be null) the
 * index of the first key at fault, and nothing is written. Cipher texts
 * under removed keys can no longer be decrypted. */
ZORV_API uint64_t QintAdminRemoveKeysEx(const QintKeyFileName *names, const QintKeyId *keys, uint32_t count,
                                        int64_t disabledBefore, uint32_t *failed, QintAdminReport *report);

/* 0 only when both files are valid and byte-for-byte equal; otherwise the
 * cause of the first wrong file (report says which) or QINT_ERR_COPIES_DIFFER.
 * Reads only. */
ZORV_API uint64_t QintAdminVerifyEx(const QintKeyFileName *names, QintAdminReport *report);
/* Writes the newest valid copy to both files of target (standby first),
 * byte for byte: the copies carry the same slots. */
ZORV_API uint64_t QintAdminBackupEx(const QintKeyFileName *names, const QintKeyFileName *target,
                                    QintAdminReport *report);

/* The health of each copy of a pair, as a load here sees it (the host's
 * rules included). A copy that fails its checks is told apart by the other,
 * healthy copy of the same store: damage (and where), a copy of another
 * store, or a whole copy that does not open here. */
#define QINT_COPY_HEALTHY 0u    /* valid: the copy in use, or byte-for-byte equal to it */
#define QINT_COPY_STALE 1u      /* valid, but older than (or different from) the copy in use */
#define QINT_COPY_DAMAGED 2u    /* changed in place: damage says where */
#define QINT_COPY_MISSING 3u    /* the file does not exist */
#define QINT_COPY_UNREADABLE 4u /* cannot be opened or read (a link, not a regular file, an I/O error) */
#define QINT_COPY_FOREIGN 5u    /* another store, or a copy the host's rules refuse: status says which */
#define QINT_COPY_LOCKED 6u     /* whole as far as can be told, but no slot opens here: status says why */

#define QINT_DAMAGE_NONE 0u
#define QINT_DAMAGE_HEADER 1u /* magic, version, counters, times, salt, store id or entry count */
#define QINT_DAMAGE_SLOT 2u   /* the protector slot slotId */
#define QINT_DAMAGE_INDEX 3u  /* the key entries */
#define QINT_DAMAGE_MAC 4u    /* the MAC fails while the slots and key entries check out: the MAC, or a
                                 header field only it covers */
#define QINT_DAMAGE_LENGTH 5u /* truncated or extended */

typedef struct QintCopyHealth {
    uint32_t verdict; /* QINT_COPY_ */
    uint32_t damage;  /* QINT_DAMAGE_ of a damaged copy */
    uint32_t slotId;  /* QINT_DAMAGE_SLOT: the slot's id (its place, from 1, when its id is unreadable) */
    uint32_t reserved;
    uint64_t status;  /* what a load saw: 0 valid, else a QINT_ERR_ cause */
    uint64_t counter; /* update counter; as the file claims unless valid (0: unknown) */
    char detail[QINT_REPORT_TEXT_MAX]; /* beside status: what to look at (owner and mode found, PCRs, the
                                          token's words); may be empty */
} QintCopyHealth;

typedef struct QintPairHealth {
    QintCopyHealth primary;
    QintCopyHealth standby;
    uint64_t load;       /* what a load here answers: 0, QINT_LOADED_RESTORED, or why it fails */
    uint32_t inUse;      /* QINT_FILE_ of the copy a load uses; QINT_FILE_NONE when none */
    uint32_t openedSlot; /* id of the slot that opened it (0: the built-in key, or none) */
    uint32_t openedType; /* QINT_PROTECT_ of that slot (0: none) */
    uint32_t reserved;
} QintPairHealth;

/* Fills health; reads only. 0, QINT_ERR_BAD_FILE_NAME, _BAD_ARGUMENT (null
 * health) or _NO_MEMORY; the verdicts are in health. */
ZORV_API uint64_t QintAdminHealthEx(const QintKeyFileName *names, QintPairHealth *health);
/* Rewrites a stale, damaged or missing copy byte for byte from the copy in
 * use (through the registered file callbacks), and a copy that does not open
 * here only when it names the same store and claims no newer update. 0 with
 * *repaired (may be null) QINT_FILE_ of the copy rewritten, or QINT_FILE_NONE
 * when both were healthy. Nothing is written when no copy is usable (the
 * load's cause), for a copy of another store or one the host refuses (its
 * status), an unreadable copy (QINT_ERR_FILE_READ) or one that does not
 * open here and claims to be newer (its status): health says which.
 * QINT_ERR_FILE_WRITE when the write failed. */
ZORV_API uint64_t QintAdminRepairEx(const QintKeyFileName *names, uint32_t *repaired, QintPairHealth *health);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_ADMIN_H */
