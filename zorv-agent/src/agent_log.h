// Internal: every log line of the agent goes through ZORVA_LOG, which reads
// the registered log function at the moment of the call and skips the line
// while none is registered.
#pragma once

#include "zorva_main.h"

namespace zorva {

inline ZorvaLogIntf CurrentLogFunction()
{
    return __atomic_load_n(&g_pfnZorvaLogIntf, __ATOMIC_ACQUIRE);
}

inline void StoreLogFunction(ZorvaLogIntf fn)
{
    __atomic_store_n(&g_pfnZorvaLogIntf, fn, __ATOMIC_RELEASE);
}

// Log codes: 25088 (0x6200) plus an offset, one name per code, for every
// file of the agent. Some codes are shared by lines of several concerns.
inline constexpr int32_t kCodeNone = 0;
inline constexpr int32_t kCodeAssert = 25088;         // a null argument or broken assumption
inline constexpr int32_t kCodeReload = 25089;         // reload and key-file status
inline constexpr int32_t kCodeCryptoStep = 25090;     // raw encrypt/HMAC/verify failures
inline constexpr int32_t kCodeLengthQuery = 25093;    // cipher or HMAC size query
inline constexpr int32_t kCodeCipherAlloc = 25094;    // cipher buffer allocation
inline constexpr int32_t kCodeEncodeAlloc = 25095;    // Base64 buffer; encrypt step of ZORVA_Encrypt
inline constexpr int32_t kCodeEncode = 25096;         // Base64 encode; decode step of ZORVA_Decrypt
inline constexpr int32_t kCodeDecodedLen = 25097;     // decoded length not obtained
inline constexpr int32_t kCodeDecodeAlloc = 25104;    // Base64 decode buffer
inline constexpr int32_t kCodeDecodeBlock = 25105;    // Base64 block decoding
inline constexpr int32_t kCodePlainAlloc = 25106;     // plain buffer in decryption
inline constexpr int32_t kCodeDecrypt = 25107;        // decryption failed in ZORVA_Decrypt; key-file paths
inline constexpr int32_t kCodeProcLockAcquire = 25121;
inline constexpr int32_t kCodeProcLockRelease = 25122;
inline constexpr int32_t kCodeLockAlloc = 25123;
inline constexpr int32_t kCodeLockInit = 25124;
inline constexpr int32_t kCodeLockDestroy = 25125;
inline constexpr int32_t kCodeLockAcquire = 25126;
inline constexpr int32_t kCodeLockRelease = 25127;
inline constexpr int32_t kCodeNotify = 25128;         // events from the key store
inline constexpr int32_t kCodeState = 25137;          // state and input problems
inline constexpr int32_t kCodeCheck = 25139;          // length, domain and parameter checks; registration
inline constexpr int32_t kCodeKeyFile = 25140;        // key store and key file
inline constexpr int32_t kCodeCryptoLock = 25141;     // the crypto library's thread setup
inline constexpr int32_t kCodeCryptoLockDestroy = 25143;
inline constexpr int32_t kCodeFinalizeFailed = 25145;
inline constexpr int32_t kCodeDecryptAgain = 25148;   // decryption failed after the reload
inline constexpr int32_t kCodeFinalized = 25152;
inline constexpr int32_t kCodeDoEvents = 25153;
inline constexpr int32_t kCodeDecryptRetry = 25156;   // decryption failed, retried
inline constexpr int32_t kCodeComponentError = 25190; // key-store lines, by their level
inline constexpr int32_t kCodeComponentInfo = 25191;
inline constexpr int32_t kCodeComponentOther = 25192;

} // namespace zorva

// ZORVA_LOG(level, code, "FunctionName", format, values...)
#define ZORVA_LOG(level, code, function, ...)                                                           \
    do {                                                                                                \
        ZorvaLogIntf zorvaLogFn_ = ::zorva::CurrentLogFunction();                                       \
        if (zorvaLogFn_ != nullptr) {                                                                   \
            zorvaLogFn_(ZORVA_MODULE_ID, (level), (function), __LINE__, (code), __VA_ARGS__);           \
        }                                                                                               \
    } while (0)
