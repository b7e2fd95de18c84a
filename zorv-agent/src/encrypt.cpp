// Encryption of a plain text into a Base64 cipher text with the key of a
// domain, and the raw step with its one reload and retry.
#include "agent_log.h"
#include "crypto_support.h"
#include "mur.h"

using namespace zorva;
using namespace zorva::crypto;

extern "C" {

int ZORVA_Encrypt(uint32_t domainId, const char *plainText, uint32_t plainTextLen, char **cipherText,
                  uint32_t *cipherTextLen)
{
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Encrypt",
                  "(ASSERTION FAILURE) plainText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Encrypt",
                  "(ASSERTION FAILURE) cipherText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (cipherTextLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Encrypt",
                  "(ASSERTION FAILURE) cipherTextLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckInitial() != RET_OK) {
        return RET_ERR;
    }
    if (ZORVA_DomainIdValid(domainId) == 0 || plainTextLen > kMaxPlainLen) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_Encrypt", "Check parms fail, plain text len (%u).",
                  plainTextLen);
        return ZORVA_ERR_PARAMETER_INVALID;
    }

    ReloadReadHold hold;
    uint32_t cipherLen = 0;
    if (MurGetCipherDataLenEx(plainTextLen, &cipherLen) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLengthQuery, "ZORVA_Encrypt", "Get cipher len failed, plain len (%u).",
                  plainTextLen);
        return RET_ERR;
    }
    // Released over the size allocated: a failing library call may have left
    // any value in cipherLen.
    AgentBlock raw(cipherLen);
    if (!raw) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCipherAlloc, "ZORVA_Encrypt",
                  "Mem alloc failed, plain len (%u), cipher len (%u).", plainTextLen, cipherLen);
        return ZORVA_ERR_MEM_ALLOC;
    }
    // A cipher length beyond the buffer would make the encoder read past it.
    if (ZORVA_EncryptData(domainId, reinterpret_cast<const unsigned char *>(plainText), plainTextLen, raw.get(),
                          &cipherLen) != RET_OK ||
        cipherLen > raw.size()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncodeAlloc, "ZORVA_Encrypt", "Zorv encrypt data failed, domain (%u).",
                  domainId);
        return RET_ERR;
    }
    if (ZORVA_Base64Encode(raw.get(), cipherLen, cipherText, cipherTextLen) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncode, "ZORVA_Encrypt", "Base64 encode block failed.");
        return RET_ERR;
    }
    return RET_OK;
}

int ZORVA_EncryptData(uint32_t domainId, const unsigned char *plainText, uint32_t plainTextLen,
                      unsigned char *cipherText, uint32_t *cipherTextLen)
{
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_EncryptData",
                  "(ASSERTION FAILURE) plainText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_EncryptData",
                  "(ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (cipherTextLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_EncryptData",
                  "(ASSERTION FAILURE) cipherTextLen is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    // Under the caller's read hold no finalise can start.
    if (!zorva::InitialisedForRawCall("ZORVA_EncryptData")) {
        return RET_ERR;
    }
    // Take up a key file changed on disk before encrypting.
    (void)ZORVA_CheckReloadKeyFile(0);

    const uint32_t bufferSize = *cipherTextLen;
    uint64_t r = MurEncryptEx(domainId, MUR_ALG_AES256_GCM, plainText, plainTextLen, cipherText, cipherTextLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_EncryptData",
              "Encrypt data (domain:%u, in len:%u) failed, err(%lu), try again.", domainId, plainTextLen,
              static_cast<unsigned long>(r));
    if (ZORVA_CheckReloadKeyFile(1) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_EncryptData", "Check reload key file failed.");
        return RET_ERR;
    }
    // The failed call may have rewritten the in/out length; the retry gets
    // the whole buffer again.
    *cipherTextLen = bufferSize;
    r = MurEncryptEx(domainId, MUR_ALG_AES256_GCM, plainText, plainTextLen, cipherText, cipherTextLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_EncryptData",
              "Encrypt data (domain:%u, in len:%u) failed, err(%lu).", domainId, plainTextLen,
              static_cast<unsigned long>(r));
    return RET_ERR;
}
}
