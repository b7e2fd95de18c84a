// Stand-in data-protection component: every call fails until scripted.
#include "mur.h"

extern "C" {
uint64_t MurGetCipherDataLenEx(uint32_t, uint32_t *) { return 1; }
uint64_t MurEncryptEx(uint32_t, uint32_t, const unsigned char *, uint32_t, unsigned char *, uint32_t *) { return 1; }
uint64_t MurDecryptEx(uint32_t, const unsigned char *, uint32_t, unsigned char *, uint32_t *) { return 1; }
uint64_t MurGetHmacLenEx(uint32_t *) { return 1; }
uint64_t MurHmacEx(uint32_t, uint32_t, const unsigned char *, uint32_t, unsigned char *, uint32_t *) { return 1; }
uint64_t MurVerifyHmacEx(uint32_t, const unsigned char *, uint32_t, const unsigned char *, uint32_t) { return 1; }
}
