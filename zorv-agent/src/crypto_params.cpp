// What every crypto entry point shares: the key-domain table and its check,
// the check of the HMAC parameter record, and the Base64 size of a cipher.
#include "agent_log.h"
#include "crypto_support.h"
#include "lifecycle.h"
#include "mur.h"

using namespace zorva::crypto;

extern "C" {

const uint32_t g_arrZorvaDomainId[ZORVA_DOMAIN_COUNT] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,  12,  13,  14,  15,  16,  17,  18,
    19, 20, 21, 22, 23, 24, 25, 50, 51, 100, 101, 102, 103, 104, 105, 150, 151, 152,
};

int ZORVA_DomainIdValid(uint32_t domainId)
{
    for (const uint32_t valid : g_arrZorvaDomainId) {
        if (valid == domainId) {
            return 1;
        }
    }
    return 0;
}

int ZORVA_CheckParms(const ZorvaParms *zorvaParms)
{
    if (zorvaParms == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kLogNone, "ZORVA_CheckParms", "Check zorva parms fail.");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_DomainIdValid(zorvaParms->domainId) == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kLogNone, "ZORVA_CheckParms", "Check domain id (%u) fail.",
                  zorvaParms->domainId);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (zorvaParms->hmacAlgIndex >= ZORVA_HMAC_ALG_COUNT) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kLogNone, "ZORVA_CheckParms", "Check algorithm id (%u) fail.",
                  zorvaParms->hmacAlgIndex);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    return RET_OK;
}

int ZORVA_GetCipherLen(uint32_t plainLen, uint32_t *puCBufLen)
{
    if (puCBufLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kLogAssert, "ZORVA_GetCipherLen",
                  "(ASSERTION FAILURE) puCBufLen is NULL, return(RET_ERR).");
        return RET_ERR;
    }
    if (!zorva::IsInitialised()) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_GetCipherLen", "The process has not been initialized.");
        return ZORVA_ERR_NOT_INITIALIZED;
    }
    // Written to the caller only on success.
    uint32_t rawLen = 0;
    const uint64_t r = MurGetCipherDataLenEx(plainLen, &rawLen);
    if (r != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeReload, "ZORVA_GetCipherLen", "Get cipher data len failed, err(%lu).",
                  static_cast<unsigned long>(r));
        return RET_ERR;
    }
    *puCBufLen = ZORVA_Base64EncodeLen(rawLen);
    return RET_OK;
}
}
