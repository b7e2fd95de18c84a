/*
 * Data-protection component (libMUR.so): AES-256-GCM and HMAC with the keys
 * of the key-management component. Every result is an unsigned 64-bit
 * value, 0 for success. Lengths are unsigned 32-bit; an in/out length holds
 * the buffer size on entry and the bytes written on success.
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

/* Raw cipher size for a plain length. */
MUR_API uint64_t MurGetCipherDataLenEx(uint32_t plainLen, uint32_t *cipherLen);
MUR_API uint64_t MurEncryptEx(uint32_t domain, uint32_t algorithm, const unsigned char *plain, uint32_t plainLen,
                              unsigned char *cipher, uint32_t *cipherLen);
MUR_API uint64_t MurDecryptEx(uint32_t domain, const unsigned char *cipher, uint32_t cipherLen, unsigned char *plain,
                              uint32_t *plainLen);
/* Largest HMAC size any algorithm produces. */
MUR_API uint64_t MurGetHmacLenEx(uint32_t *hmacLen);
MUR_API uint64_t MurHmacEx(uint32_t domain, uint32_t algorithm, const unsigned char *data, uint32_t dataLen,
                           unsigned char *hmac, uint32_t *hmacLen);
/* 0 when hmac matches data. */
MUR_API uint64_t MurVerifyHmacEx(uint32_t domain, const unsigned char *data, uint32_t dataLen,
                                 const unsigned char *hmac, uint32_t hmacLen);

#ifdef __cplusplus
}
#endif

#endif /* MUR_H */
