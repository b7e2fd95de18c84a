// Encrypt and decrypt fronts over the agent, each bracketed by its own
// initialisation and finalisation.
#include "agent_calls.h"

#include "agent_cause.h"
#include "console_log.h"
#include "failure_lines.h"
#include "store_report.h"

#include "bounded.h"
#include "zorva_main.h"

#include <cstring>
#include <unistd.h>

namespace {

// What one initialisation attempt came to.
enum class Init { Ok, Failed, Permanent };

// Whether the last attempt of this thread reached the key store, so that its
// report is about that attempt (the daemon and the tool are single-threaded).
thread_local bool t_storeAsked = false;

// One attempt. When the key store says why it did not load, and that trying
// again cannot help until a file changes, the attempt is Permanent.
Init InitOnce(int &ret)
{
    const uint64_t before = brim::StoreLoads();
    ret = ZORVA_Init(NoteAgentLog, BRIM_PRIMARY_KEY_FILE, BRIM_STANDBY_KEY_FILE);
    if (ret == RET_OK) {
        t_storeAsked = brim::StoreLoads() != before;
        return Init::Ok;
    }
    QintLoadReport report{};
    t_storeAsked = brim::LastStoreLoad(report) && report.sequence != before;
    if (t_storeAsked) {
        return report.permanent != 0 ? Init::Permanent : Init::Failed;
    }
    // The agent refused before asking the key store: its own words tell.
    return brim::AgentCausePermanent() ? Init::Permanent : Init::Failed;
}

} // namespace

extern "C" int InitAgentWithRetry(void)
{
    int ret = RET_ERR;
    for (int attempt = 0; attempt < BRIM_INIT_TRIES; ++attempt) {
        const Init result = InitOnce(ret);
        if (result != Init::Failed) {
            return ret;
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

// After a failure line: one more Error line naming the cause, when the
// agent's lines for this front told one.
void PrintCause(const Front &front)
{
    if (const char *cause = brim::AgentCause(); cause != nullptr) {
        PrintLog("Error", front.function, __LINE__, "%s", cause);
    }
}

// After "Failed to init zorv": what the key store said was wrong, and what
// to look at.
void PrintStoreCause(const Front &front)
{
    QintLoadReport report{};
    if (!t_storeAsked || !brim::LastStoreLoad(report) || report.result == 0 || report.result == QINT_LOADED_RESTORED) {
        PrintCause(front);
        return;
    }
    PrintLog("Error", front.function, __LINE__, "Cause: key store not loaded: %s%s%s.", report.cause,
             report.detail[0] != '\0' ? ": " : "", report.detail);
}

// After a load that read the files and found something an operator should
// know although it succeeded: a copy restored or refused, the built-in key,
// an older copy than the host has seen.
void PrintStoreNotice(const Front &front)
{
    QintLoadReport report{};
    if (!t_storeAsked || !brim::LastStoreLoad(report) || report.fresh == 0 || report.notice == 0) {
        return;
    }
    const bool serious = report.notice != QINT_LOADED_RESTORED;
    PrintLog(serious ? "Error" : "Warn", front.function, __LINE__, "Key store: %s%s%s.", report.cause,
             report.detail[0] != '\0' ? ": " : "", report.detail);
}

// Runs the operation between initialisation and finalisation, the agent
// initialised already. The agent's buffer is copied out, then given back,
// then the agent is finalised.
int RunOperation(const Front &front, const char *input, char *out, int outSize, uint32_t *resultLen)
{
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

int FailedInit(const Front &front, int initRet)
{
    if (brim::FailureLinesAllowed(brim::FrontStage::Init)) {
        PrintLog("Error", front.function, __LINE__, "Failed to init zorv, ret {%d}.", initRet);
        PrintStoreCause(front);
    }
    return RET_ERR;
}

// One attempt of a front: BRIM_TRY_AGAIN when the initialisation failed for
// a cause that may pass and this was not the last try (nothing is logged
// then), else the front's result. paused: a failed initialisation that the
// fronts follow with their pause (every one but a permanent failure's).
int Attempt(const Front &front, const char *input, char *out, int outSize, uint32_t *resultLen, int attempt,
            bool &paused)
{
    brim::ForgetAgentCause();
    int initRet = RET_ERR;
    const Init init = InitOnce(initRet);
    paused = init == Init::Failed;
    if (init == Init::Ok) {
        PrintStoreNotice(front);
        return RunOperation(front, input, out, outSize, resultLen);
    }
    if (init == Init::Failed && attempt + 1 < BRIM_INIT_TRIES) {
        return BRIM_TRY_AGAIN;
    }
    return FailedInit(front, initRet);
}

// Every try in a row, the pause after each failed one spent waiting.
int RunFront(const Front &front, const char *input, char *out, int outSize, uint32_t *resultLen)
{
    for (int attempt = 0;; ++attempt) {
        bool paused = false;
        const int ret = Attempt(front, input, out, outSize, resultLen, attempt, paused);
        if (paused) {
            (void)sleep(BRIM_INIT_PAUSE_SECONDS);
        }
        if (ret != BRIM_TRY_AGAIN) {
            return ret;
        }
    }
}

constexpr Front kEncrypt{"BrimEncrypt", false, ZORVA_Encrypt};
constexpr Front kDecrypt{"BrimDecrypt", true, ZORVA_Decrypt};

} // namespace

extern "C" int BrimEncrypt(const char *plainText, char *out, int outSize)
{
    return RunFront(kEncrypt, plainText, out, outSize, nullptr);
}

extern "C" int BrimDecrypt(const char *cipherText, char *out, int outSize, uint32_t *plainLen)
{
    return RunFront(kDecrypt, cipherText, out, outSize, plainLen);
}

extern "C" int BrimDecryptAttempt(const char *cipherText, char *out, int outSize, uint32_t *plainLen, int attempt)
{
    bool paused = false;
    return Attempt(kDecrypt, cipherText, out, outSize, plainLen, attempt, paused);
}
