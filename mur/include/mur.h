/*
 * Data-protection component (libMUR.so): AES-256-GCM and HMAC with the keys
 * of the key-management component. Every result is an unsigned 64-bit
 * value, 0 for success, else one MUR_ERR_ value per cause. Lengths are
 * unsigned 32-bit; an in/out length holds the buffer size on entry and the
 * bytes written on success; on failure it is left as it was and nothing is
 * written to the output buffer. Every call is safe from any number of
 * threads while the key store is loaded, also during QintResetEx.
 *
 * Cipher layout (MUR_CIPHER_OVERHEAD = 40 bytes beyond the plain text):
 *   version (1) = 1, algorithm (1) = 9, two zero bytes, domain (4, LE),
 *   key id (4, LE), nonce (12) | encrypted bytes | GCM tag (16)
 * the 24-byte header being the associated data. HMAC layout:
 *   version (1) = 1, zero byte, algorithm (2, LE), domain (4, LE),
 *   key id (4, LE) | MAC (32, 48 or 64 bytes)
 * the MAC taken over the 12-byte header followed by the data.
 */
#ifndef MUR_H
#define MUR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MUR_API __attribute__((visibility("default")))

#define MUR_ALG_AES256_GCM 9u
#define MUR_HMAC_SHA256 2052u
#define MUR_HMAC_SHA384 2053u
#define MUR_HMAC_SHA512 2054u

#define MUR_CIPHER_HEADER_LEN 24u
#define MUR_CIPHER_OVERHEAD 40u
#define MUR_HMAC_HEADER_LEN 12u
#define MUR_HMAC_MAX_LEN 76u

#define MUR_ERR_NOT_INITIALIZED 2001u  /* no key store loaded */
#define MUR_ERR_UNKNOWN_DOMAIN 2002u   /* domain not in the key store */
#define MUR_ERR_UNKNOWN_KEY_ID 2003u   /* key id of the input not in the store (pruned?) */
#define MUR_ERR_BAD_ALGORITHM 2004u    /* algorithm argument or header field */
#define MUR_ERR_BUFFER_TOO_SMALL 2005u /* output buffer shorter than needed */
#define MUR_ERR_MALFORMED 2006u        /* input too short, wrong length, bad header */
#define MUR_ERR_AUTH_FAILED 2007u      /* tag or MAC does not match: tampered */
#define MUR_ERR_WRONG_DOMAIN 2008u     /* input made for another domain */
#define MUR_ERR_BAD_ARGUMENT 2009u     /* null pointer */
#define MUR_ERR_TOO_LONG 2010u         /* result would not fit 32 bits */
#define MUR_ERR_CRYPTO 2011u           /* crypto library or random generator failed */
#define MUR_ERR_KEY_DISABLED 2012u     /* key id of the input is in the store but disabled */

/* Raw cipher size for a plain length: plainLen + 40, or MUR_ERR_TOO_LONG. */
MUR_API uint64_t MurGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen);
/* algorithm must be MUR_ALG_AES256_GCM; encrypts under the domain's active
 * key with a random nonce. *cipherLen must be at least plainLen + 40. */
MUR_API uint64_t MurEncryptEx(uint32_t domain, uint32_t algorithm, const unsigned char *plain, uint32_t plainLen,
                              unsigned char *cipher, uint32_t *cipherLen);
/* Authenticates before writing: *plainLen must be at least cipherLen - 40.
 * Uses the key id of the header, retired keys included; a disabled key
 * answers MUR_ERR_KEY_DISABLED. */
MUR_API uint64_t MurDecryptEx(uint32_t domain, const unsigned char *cipher, uint32_t cipherLen, unsigned char *plain,
                              uint32_t *plainLen);
/* Largest HMAC size any algorithm produces (MUR_HMAC_MAX_LEN). */
MUR_API uint64_t MurGetHmacLenEx(uint32_t *hmacLen);
/* algorithm 2052/2053/2054: HMAC-SHA256/384/512 under the domain's active
 * key; *hmacLen gets the actual size (12 + 32/48/64). */
MUR_API uint64_t MurHmacEx(uint32_t domain, uint32_t algorithm, const unsigned char *data, uint32_t dataLen,
                           unsigned char *hmac, uint32_t *hmacLen);
/* 0 when hmac matches data; algorithm and key id come from its header
 * (a disabled key: MUR_ERR_KEY_DISABLED); compared in constant time. */
MUR_API uint64_t MurVerifyHmacEx(uint32_t domain, const unsigned char *data, uint32_t dataLen,
                                 const unsigned char *hmac, uint32_t hmacLen);

#ifdef __cplusplus
}
#endif

#endif /* MUR_H */
