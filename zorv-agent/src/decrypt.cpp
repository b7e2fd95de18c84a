// Decryption of a Base64 cipher text with the key of a domain, and the raw
// step with its one reload and retry.
#include "agent_log.h"
#include "crypto_support.h"
#include "mur.h"

using namespace zorva;
using namespace zorva::crypto;

extern "C" {

int ZORVA_Decrypt(uint32_t domainId, const char *cipherText, uint32_t cipherTextLen, char **plainText,
                  uint32_t *plainTextLen)
{
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Decrypt",
                  "(ASSERTION FAILURE) plainText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Decrypt",
                  "(ASSERTION FAILURE) cipherText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (plainTextLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_Decrypt",
                  "(ASSERTION FAILURE) plainTextLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckInitial() != RET_OK) {
        return RET_ERR;
    }
    if (ZORVA_DomainIdValid(domainId) == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCheck, "ZORVA_Decrypt", "Check domain id (%u) failed.", domainId);
        return ZORVA_ERR_DOMAIN_INVALID;
    }

    ReloadReadHold hold;
    unsigned char *decodedBytes = nullptr;
    uint32_t decodedLen = 0;
    const int decoded = ZORVA_Base64Decode(cipherText, cipherTextLen, &decodedBytes, &decodedLen);
    if (decoded != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncode, "ZORVA_Decrypt", "Base64 decode block fail, err(%d).", decoded);
        return RET_ERR;
    }
    // Released over the decoded length, as handed out by the decoder.
    AgentBlock cipher(decodedBytes, decodedLen);

    // As long as the cipher and zeroed, so the plain text is followed by zero
    // bytes; released over this size on failure, whatever the library wrote
    // into plainLen.
    AgentBlock plain(decodedLen);
    if (!plain) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodePlainAlloc, "ZORVA_Decrypt", "Mem alloc failed.");
        return RET_ERR;
    }
    uint32_t plainLen = decodedLen;
    // A plain length beyond the buffer would have the caller wipe past it.
    if (ZORVA_DecryptData(domainId, cipher.get(), decodedLen, plain.get(), &plainLen) != RET_OK ||
        plainLen > plain.size()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecrypt, "ZORVA_Decrypt", "Decrypt data failed, domain:%u.", domainId);
        return RET_ERR;
    }
    *plainText = reinterpret_cast<char *>(plain.release());
    *plainTextLen = plainLen;
    return RET_OK;
}

int ZORVA_DecryptData(uint32_t domainId, const unsigned char *cipherText, uint32_t cipherTextLen,
                      unsigned char *plainText, uint32_t *plainTextLen)
{
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_DecryptData",
                  "(ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_DecryptData",
                  "(ASSERTION FAILURE) plainText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (plainTextLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_DecryptData",
                  "(ASSERTION FAILURE) plainTextLen is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    // Under the caller's read hold no finalise can start.
    if (!zorva::InitialisedForRawCall("ZORVA_DecryptData")) {
        return RET_ERR;
    }
    const uint32_t bufferSize = *plainTextLen;
    uint64_t r = MurDecryptEx(domainId, cipherText, cipherTextLen, plainText, plainTextLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_RETRY, kCodeDecryptRetry, "ZORVA_DecryptData",
              "Decrypt data (domain:%u, in len:%u) failed, err(%lu), retry again.", domainId, cipherTextLen,
              static_cast<unsigned long>(r));
    if (ZORVA_CheckReloadKeyFile(1) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_DecryptData", "Check reload key file failed.");
        return RET_ERR;
    }
    // The failed call may have rewritten the in/out length; the retry gets
    // the whole buffer again.
    *plainTextLen = bufferSize;
    r = MurDecryptEx(domainId, cipherText, cipherTextLen, plainText, plainTextLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecryptAgain, "ZORVA_DecryptData",
              "Decrypt data (domain:%u, in len:%u) failed, err(%lu).", domainId, cipherTextLen,
              static_cast<unsigned long>(r));
    return RET_ERR;
}
}
