// What every crypto entry point shares: the key-domain table and its check,
// the check of the HMAC parameter record, and the Base64 size of a cipher.
#include "agent_log.h"
#include "crypto_support.h"
#include "lifecycle.h"
#include "mur.h"
#include "zorv_domains.h"

using namespace zorva;
using namespace zorva::crypto;

extern "C" {

static_assert(ZORVA_DOMAIN_COUNT == QINT_DOMAIN_COUNT);
const uint32_t g_arrZorvaDomainId[ZORVA_DOMAIN_COUNT] = {QINT_DOMAIN_IDS};

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
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CheckParms", "Check zorva parms fail.");
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (ZORVA_DomainIdValid(zorvaParms->domainId) == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CheckParms", "Check domain id (%u) fail.",
                  zorvaParms->domainId);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    if (zorvaParms->hmacAlgIndex >= ZORVA_HMAC_ALG_COUNT) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeNone, "ZORVA_CheckParms", "Check algorithm id (%u) fail.",
                  zorvaParms->hmacAlgIndex);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    return RET_OK;
}

int ZORVA_GetCipherLen(uint32_t plainLen, uint32_t *puCBufLen)
{
    if (puCBufLen == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, zorva::kCodeAssert, "ZORVA_GetCipherLen",
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
