// HMAC of caller data with the key of a domain, as Base64 text, and its
// verification; the raw steps reload the key store and retry once.
#include "agent_log.h"
#include "crypto_support.h"
#include "mur.h"

using namespace zorva;
using namespace zorva::crypto;

extern "C" {

const uint32_t g_arrZorvaHmacAlgId[ZORVA_HMAC_ALG_COUNT] = {MUR_HMAC_SHA256, MUR_HMAC_SHA384, MUR_HMAC_SHA512};

uint32_t ZORVA_GetAlgorithmId(uint32_t algIndex)
{
    return algIndex < ZORVA_HMAC_ALG_COUNT ? g_arrZorvaHmacAlgId[algIndex] : 0;
}

int ZORVA_CalcHmac(const ZorvaParms *zorvaParms, const unsigned char *plainBuf, uint32_t plainLen, char **hmacText,
                   uint32_t *hmacLen)
{
    if (zorvaParms == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmac",
                  "(ASSERTION FAILURE) zorvaParms is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (plainBuf == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmac",
                  "(ASSERTION FAILURE) plainBuf is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (hmacText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmac",
                  "(ASSERTION FAILURE) hmacText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (hmacLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmac",
                  "(ASSERTION FAILURE) hmacLen is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckParms(zorvaParms) != RET_OK || plainLen > kMaxPlainLen) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCheck, "ZORVA_CalcHmac", "Check parms fail, plain len (%u).", plainLen);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckInitial() != RET_OK) {
        return RET_ERR;
    }

    ReloadReadHold hold;
    uint32_t hmacSize = 0;
    if (MurGetHmacLenEx(&hmacSize) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeLengthQuery, "ZORVA_CalcHmac", "Get cipher len failed, plain len (%u).",
                  plainLen);
        return RET_ERR;
    }
    // Released over the size allocated: a failing library call may have left
    // any value in hmacSize.
    AgentBlock raw(hmacSize);
    if (!raw) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CalcHmac", "Alloc fail, plain (%u), cipher (%u).",
                  plainLen, hmacSize);
        return ZORVA_ERR_MEM_ALLOC;
    }
    if (ZORVA_CalcHmacData(zorvaParms, plainBuf, plainLen, raw.get(), &hmacSize) != RET_OK ||
        hmacSize > raw.size()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CalcHmac", "Calc hmac (%u,%u,%u) fail.", plainLen,
                  *hmacLen, hmacSize);
        return RET_ERR;
    }
    if (ZORVA_Base64Encode(raw.get(), hmacSize, hmacText, hmacLen) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CalcHmac", "Base64 encode (%u,%u,%u) fail.", plainLen,
                  *hmacLen, hmacSize);
        return RET_ERR;
    }
    return RET_OK;
}

int ZORVA_VerifyHmac(const ZorvaParms *zorvaParms, const unsigned char *plainBuf, uint32_t plainLen,
                     const char *hmacText, uint32_t hmacTextLen)
{
    if (zorvaParms == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmac",
                  "(ASSERTION FAILURE) zorvaParms is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (plainBuf == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmac",
                  "(ASSERTION FAILURE) plainBuf is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (hmacText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmac",
                  "(ASSERTION FAILURE) hmacText is NULL, return(ZORVA_ERR_PARAMETER_INVALID).");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckParms(zorvaParms) != RET_OK) {
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_CheckInitial() != RET_OK) {
        return RET_ERR;
    }

    ReloadReadHold hold;
    unsigned char *decodedBytes = nullptr;
    uint32_t decodedLen = 0;
    if (ZORVA_Base64Decode(hmacText, hmacTextLen, &decodedBytes, &decodedLen) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_VerifyHmac", "Base64 decode (%u,%u,%u) fail.", plainLen,
                  hmacTextLen, decodedLen);
        return RET_ERR;
    }
    AgentBlock hmac(decodedBytes, decodedLen);
    if (ZORVA_VerifyHmacData(zorvaParms, plainBuf, plainLen, hmac.get(), decodedLen) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_VerifyHmac", "Verify hmac (%u,%u,%u) fail.", plainLen,
                  hmacTextLen, decodedLen);
        return RET_ERR;
    }
    return RET_OK;
}

int ZORVA_CalcHmacData(const ZorvaParms *zorvaParms, const unsigned char *plainText, uint32_t plainLen,
                       unsigned char *cipherText, uint32_t *cipherLen)
{
    if (zorvaParms == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmacData",
                  "(ASSERTION FAILURE) zorvaParms is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmacData",
                  "(ASSERTION FAILURE) plainText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmacData",
                  "(ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (cipherLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_CalcHmacData",
                  "(ASSERTION FAILURE) cipherLen is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    // Under the caller's read hold no finalise can start.
    if (!zorva::InitialisedForRawCall("ZORVA_CalcHmacData")) {
        return RET_ERR;
    }
    // Take up a key file changed on disk before computing.
    (void)ZORVA_CheckReloadKeyFile(0);

    const uint32_t algorithm = ZORVA_GetAlgorithmId(zorvaParms->hmacAlgIndex);
    if (algorithm == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CalcHmacData", "Get alg id (%u) fail.",
                  zorvaParms->hmacAlgIndex);
        return RET_ERR;
    }
    const uint32_t bufferSize = *cipherLen;
    uint64_t r = MurHmacEx(zorvaParms->domainId, algorithm, plainText, plainLen, cipherText, cipherLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CalcHmacData", "Calc hmac (%u,%u) fail, err(%lu).",
              zorvaParms->domainId, plainLen, static_cast<unsigned long>(r));
    if (ZORVA_CheckReloadKeyFile(1) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_CalcHmacData", "Check reload key file failed.");
        return RET_ERR;
    }
    // The failed call may have rewritten the in/out length; the retry gets
    // the whole buffer again.
    *cipherLen = bufferSize;
    r = MurHmacEx(zorvaParms->domainId, algorithm, plainText, plainLen, cipherText, cipherLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_CalcHmacData", "Calc hmac (%u,%u) fail, err(%lu).",
              zorvaParms->domainId, plainLen, static_cast<unsigned long>(r));
    return RET_ERR;
}

int ZORVA_VerifyHmacData(const ZorvaParms *zorvaParms, const unsigned char *plainText, uint32_t plainLen,
                         const unsigned char *cipherText, uint32_t cipherLen)
{
    if (zorvaParms == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmacData",
                  "(ASSERTION FAILURE) zorvaParms is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (plainText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmacData",
                  "(ASSERTION FAILURE) plainText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (cipherText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_VerifyHmacData",
                  "(ASSERTION FAILURE) cipherText is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    // Under the caller's read hold no finalise can start.
    if (!zorva::InitialisedForRawCall("ZORVA_VerifyHmacData")) {
        return RET_ERR;
    }
    uint64_t r = MurVerifyHmacEx(zorvaParms->domainId, plainText, plainLen, cipherText, cipherLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_RETRY, zorva::kCodeNone, "ZORVA_VerifyHmacData", "Verify hmac (%u,%u) fail, err(%lu).",
              zorvaParms->domainId, cipherLen, static_cast<unsigned long>(r));
    if (ZORVA_CheckReloadKeyFile(1) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_VerifyHmacData", "Check reload key file failed.");
        return RET_ERR;
    }
    r = MurVerifyHmacEx(zorvaParms->domainId, plainText, plainLen, cipherText, cipherLen);
    if (r == 0) {
        return RET_OK;
    }
    ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCryptoStep, "ZORVA_VerifyHmacData", "Verify hmac (%u,%u) fail, err(%lu).",
              zorvaParms->domainId, cipherLen, static_cast<unsigned long>(r));
    return RET_ERR;
}
}
