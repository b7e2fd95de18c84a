#include "request_outcome.h"

#include "agent_cause.h"
#include "failure_lines.h"

#include <string_view>

namespace brim {

namespace {

struct CauseText {
    std::string_view start; // how the front's cause line begins
    RequestResult result;
    StoreCause cause;
};

constexpr CauseText kCauses[] = {
    {"Cause: not Base64", RequestResult::Malformed, StoreCause::Unknown},
    {"Cause: malformed", RequestResult::Malformed, StoreCause::Unknown},
    {"Cause: unknown domain", RequestResult::UnknownKey, StoreCause::Unknown},
    {"Cause: key id not in", RequestResult::UnknownKey, StoreCause::Unknown},
    {"Cause: authentication failed", RequestResult::AuthenticationFailed, StoreCause::Unknown},
    {"Cause: key disabled", RequestResult::KeyDisabled, StoreCause::Unknown},
    {"Cause: no key store", RequestResult::StoreUnavailable, StoreCause::NoKeyStore},
    {"Cause: the key store could not be reloaded", RequestResult::StoreUnavailable, StoreCause::ReloadFailed},
    {"Cause: out of memory", RequestResult::StoreUnavailable, StoreCause::OutOfMemory},
    {"Cause: the data-protection library", RequestResult::StoreUnavailable, StoreCause::Library},
    {"Key-store file (", RequestResult::StoreUnavailable, StoreCause::PathRule},
};

} // namespace

FailedDecrypt WhyDecryptFailed()
{
    FailedDecrypt why;
    const FrontStage stage = LastFailedStage();
    why.loaded = stage == FrontStage::Operation;
    const char *text = AgentCause();
    if (text == nullptr) {
        // The agent named nothing: a store that did not load, or a request
        // it refused before looking at it (an empty one).
        why.result = why.loaded ? RequestResult::Malformed : RequestResult::StoreUnavailable;
        return why;
    }
    for (const CauseText &c : kCauses) {
        if (std::string_view(text).starts_with(c.start)) {
            why.result = why.loaded || c.result == RequestResult::StoreUnavailable ? c.result
                                                                                    : RequestResult::StoreUnavailable;
            why.cause = c.cause;
            return why;
        }
    }
    return why;
}

} // namespace brim
