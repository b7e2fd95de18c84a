// Encrypt and decrypt fronts over the agent, each bracketed by its own
// initialisation and finalisation.
#include "agent_calls.h"

#include "agent_cause.h"
#include "console_log.h"
#include "failure_lines.h"

#include "bounded.h"
#include "zorva_main.h"

#include <cstring>
#include <unistd.h>

extern "C" int InitAgentWithRetry(void)
{
    int ret = RET_ERR;
    for (int attempt = 0; attempt < BRIM_INIT_TRIES; ++attempt) {
        ret = ZORVA_Init(NoteAgentLog, BRIM_PRIMARY_KEY_FILE, BRIM_STANDBY_KEY_FILE);
        if (ret == RET_OK) {
            return RET_OK;
        }
        (void)sleep(BRIM_INIT_PAUSE_SECONDS);
    }
    return ret;
}

namespace {

using AgentOperation = int (*)(uint32_t, const char *, uint32_t, char **, uint32_t *);

struct Front {
    const char *function; // name in the log lines
    bool decrypt;
    AgentOperation operation;
};

// Runs one operation between initialisation and finalisation. The agent's
// buffer is copied out, then given back, then the agent is finalised.
// After a failure line: one more Error line naming the cause, when the
// agent's lines for this front told one.
void PrintCause(const Front &front)
{
    if (const char *cause = brim::AgentCause(); cause != nullptr) {
        PrintLog("Error", front.function, __LINE__, "%s", cause);
    }
}

int RunFront(const Front &front, const char *input, char *out, int outSize, uint32_t *resultLen)
{
    brim::ForgetAgentCause();
    const int initRet = InitAgentWithRetry();
    if (initRet != RET_OK) {
        if (brim::FailureLinesAllowed(brim::FrontStage::Init)) {
            PrintLog("Error", front.function, __LINE__, "Failed to init zorv, ret {%d}.", initRet);
            PrintCause(front);
        }
        return RET_ERR;
    }
    brim::ForgetAgentCause();
    char *result = nullptr;
    uint32_t length = 0;
    const uint32_t inputLen = input != nullptr ? static_cast<uint32_t>(strlen(input)) : 0;
    const int opRet = front.operation(BRIM_DOMAIN_ID, input, inputLen, &result, &length);
    if (opRet != RET_OK) {
        if (brim::FailureLinesAllowed(brim::FrontStage::Operation)) {
            if (front.decrypt) {
                PrintLog("Error", front.function, __LINE__, "Failed to decrypt, ret {%d}.", opRet);
            } else {
                PrintLog("Error", front.function, __LINE__, "Failed to encrypt, ret {%d}.", opRet);
            }
            PrintCause(front);
        }
        (void)ZORVA_Finalize();
        return RET_ERR;
    }
    const int copyRet = strcpy_s(out, static_cast<size_t>(outSize), result);
    if (resultLen != nullptr) {
        *resultLen = length;
    }
    ZORVA_MemClearFree(result, length);
    (void)ZORVA_Finalize();
    return copyRet;
}

} // namespace

extern "C" int BrimEncrypt(const char *plainText, char *out, int outSize)
{
    static constexpr Front kEncrypt{"BrimEncrypt", false, ZORVA_Encrypt};
    return RunFront(kEncrypt, plainText, out, outSize, nullptr);
}

extern "C" int BrimDecrypt(const char *cipherText, char *out, int outSize, uint32_t *plainLen)
{
    static constexpr Front kDecrypt{"BrimDecrypt", true, ZORVA_Decrypt};
    return RunFront(kDecrypt, cipherText, out, outSize, plainLen);
}
