/*
 * Script and inspect the stand-in data-protection component (lib/doubles/
 * libMUR.so).
 *
 * Unscripted, the stand-in works: a reversible toy cipher (not secure, only
 * for round trips) and a toy keyed digest.
 *   - Raw cipher size = plain length + MUR_DOUBLE_CIPHER_OVERHEAD; the cipher
 *     carries the domain, so decrypting under another domain fails.
 *   - MurGetHmacLenEx reports MUR_DOUBLE_HMAC_MAX; MurHmacEx writes 32, 48 or
 *     64 bytes for the algorithms 2052, 2053, 2054 and MurVerifyHmacEx picks
 *     the algorithm from the HMAC length.
 *   - A call whose in/out length is smaller than what it has to write fails
 *     with MUR_DOUBLE_ERR_SHORT_BUFFER and leaves the length unchanged.
 *
 * Scripted failures: the next `calls` calls of one function answer `result`
 * without doing the work, and may write a given value into the in/out length
 * first (as a failing library may), to check how the caller copes with it.
 * Every function counts its calls and records the in/out length it was
 * handed on entry. Thread-safe; MurDouble_Reset restores the state at load.
 */
#ifndef MUR_DOUBLE_CONTROL_H
#define MUR_DOUBLE_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MUR_DOUBLE_API __attribute__((visibility("default")))

#define MUR_DOUBLE_CIPHER_OVERHEAD 16u
#define MUR_DOUBLE_HMAC_MAX 64u
#define MUR_DOUBLE_ERR_SHORT_BUFFER 0x1001u /* in/out length too small */
#define MUR_DOUBLE_ERR_BAD_CIPHER 0x1002u   /* not a toy cipher, or other domain */
#define MUR_DOUBLE_ERR_BAD_HMAC 0x1003u     /* HMAC does not match */
#define MUR_DOUBLE_ERR_BAD_ALG 0x1004u      /* unknown algorithm */

/* Written into the in/out length by a scripted failure unless told otherwise. */
#define MUR_DOUBLE_KEEP_LENGTH (-1)

typedef enum MurDoubleCall {
    MUR_DOUBLE_CIPHER_LEN = 0, /* MurGetCipherDataLenEx */
    MUR_DOUBLE_ENCRYPT = 1,    /* MurEncryptEx */
    MUR_DOUBLE_DECRYPT = 2,    /* MurDecryptEx */
    MUR_DOUBLE_HMAC_LEN = 3,   /* MurGetHmacLenEx */
    MUR_DOUBLE_HMAC = 4,       /* MurHmacEx */
    MUR_DOUBLE_VERIFY = 5,     /* MurVerifyHmacEx */
    MUR_DOUBLE_CALL_COUNT = 6
} MurDoubleCall;

/* Scripts cleared, counts and records to 0, hook removed. */
MUR_DOUBLE_API void MurDouble_Reset(void);

/* The next `calls` calls of `call` answer `result` (non-zero). When
 * `lengthOut` is not MUR_DOUBLE_KEEP_LENGTH, each of them first stores
 * (uint32_t)lengthOut through the function's length pointer (for
 * MurGetCipherDataLenEx and MurGetHmacLenEx the out length, for the others
 * the in/out length; MurVerifyHmacEx has none). Appends to earlier scripts
 * of the same function (up to 16 entries). */
MUR_DOUBLE_API void MurDouble_FailNext(MurDoubleCall call, uint32_t calls, uint64_t result, int64_t lengthOut);

/* Every later call of `call` answers `result` (0: do the work again). */
MUR_DOUBLE_API void MurDouble_FailAlways(MurDoubleCall call, uint64_t result);

MUR_DOUBLE_API uint32_t MurDouble_CallCount(MurDoubleCall call);

/* The in/out length (for MurVerifyHmacEx: the HMAC length; for
 * MurGetCipherDataLenEx: the plain length) handed to the `index`-th call of
 * `call` since the last reset, counting from 0; UINT32_MAX when there was no
 * such call or it is beyond the first 64. */
MUR_DOUBLE_API uint32_t MurDouble_LengthSeen(MurDoubleCall call, uint32_t index);

/* Domain and algorithm handed to the last call of `call` (0 if none/none). */
MUR_DOUBLE_API uint32_t MurDouble_LastDomain(MurDoubleCall call);
MUR_DOUBLE_API uint32_t MurDouble_LastAlgorithm(MurDoubleCall call);

/* Called on entry of every call, after it was counted, outside the stand-in's
 * own lock (for instance to look at the caller's locks). */
MUR_DOUBLE_API void MurDouble_SetHook(void (*hook)(MurDoubleCall call));

#ifdef __cplusplus
}
#endif

#endif /* MUR_DOUBLE_CONTROL_H */
