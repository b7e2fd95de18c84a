// The log function the fronts hand to the agent: it writes nothing, and
// keeps from the agent's lines the one cause of a failure worth a console
// line. The agent's formats are fixed texts, so a line is recognised by its
// format and its values are read by that format.
#include "agent_calls.h"
#include "agent_cause.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "mur.h"
#include "zorv_path_rule.h"

namespace brim {
namespace {

enum class Cause {
    None,
    NotBase64,
    Malformed,
    UnknownDomain,
    UnknownKeyId,
    AuthFailed,
    NoKeyStore,
    Reload,
    Memory,
    Library,
    KeyDisabled,
    PathRule,
    MissingFiles,
};

// Console text of each cause, in the order of Cause.
constexpr const char *kCauseText[] = {
    nullptr,
    "Cause: not Base64 text.",
    "Cause: malformed or truncated cipher text.",
    "Cause: unknown domain (the cipher text is for another key domain).",
    "Cause: key id not in the key store (pruned, or a cipher text from another store).",
    "Cause: authentication failed (damaged or tampered cipher text).",
    "Cause: no key store loaded.",
    "Cause: the key store could not be reloaded.",
    "Cause: out of memory.",
    "Cause: the data-protection library failed.",
    "Cause: key disabled (zorvm_keytool enable serves it again).",
    nullptr, // the agent's own words, kept in t_formatted
    nullptr, // the files, kept in t_formatted
};
static_assert(sizeof kCauseText / sizeof kCauseText[0] == static_cast<int>(Cause::MissingFiles) + 1);

// Causes no retry can mend until a file changes.
constexpr bool Permanent(Cause c) { return c == Cause::PathRule || c == Cause::MissingFiles; }

// How a recognised line is read.
enum class Read {
    Fixed,          // the line is the cause
    LibraryResult,  // (%u, %u, %lu): the data-protection library's result
    PathRule,       // (%s, %s): kept formatted
    MissingFiles,   // (%s, %s): the two key-store files
};

struct Line {
    const char *format;
    Read read;
    Cause cause;
};

constexpr Line kLines[] = {
    {"Base64 decode block fail, err(%d).", Read::Fixed, Cause::NotBase64},
    {"Check domain id (%u) failed.", Read::Fixed, Cause::UnknownDomain},
    {"Decrypt data (domain:%u, in len:%u) failed, err(%lu), retry again.", Read::LibraryResult, Cause::None},
    {"Decrypt data (domain:%u, in len:%u) failed, err(%lu).", Read::LibraryResult, Cause::None},
    {"Encrypt data (domain:%u, in len:%u) failed, err(%lu), try again.", Read::LibraryResult, Cause::None},
    {"Encrypt data (domain:%u, in len:%u) failed, err(%lu).", Read::LibraryResult, Cause::None},
    {"Check reload key file failed.", Read::Fixed, Cause::Reload},
    {"The process has not been initialized.", Read::Fixed, Cause::NoKeyStore},
    {"Mem alloc failed.", Read::Fixed, Cause::Memory},
    {"Mem alloc failed, plain len (%u), cipher len (%u).", Read::Fixed, Cause::Memory},
    {ZORV_PATH_RULE_FORMAT, Read::PathRule, Cause::PathRule},
    {"The primary file (%s) or standby file (%s) not exist.", Read::MissingFiles, Cause::MissingFiles},
};

Cause FromLibrary(unsigned long result)
{
    switch (result) {
    case MUR_ERR_MALFORMED:
    case MUR_ERR_BAD_ALGORITHM:
    case MUR_ERR_BUFFER_TOO_SMALL:
    case MUR_ERR_TOO_LONG:
        return Cause::Malformed;
    case MUR_ERR_UNKNOWN_DOMAIN:
    case MUR_ERR_WRONG_DOMAIN:
        return Cause::UnknownDomain;
    case MUR_ERR_UNKNOWN_KEY_ID:
        return Cause::UnknownKeyId;
    case MUR_ERR_AUTH_FAILED:
        return Cause::AuthFailed;
    case MUR_ERR_KEY_DISABLED:
        return Cause::KeyDisabled;
    case MUR_ERR_NOT_INITIALIZED:
        return Cause::NoKeyStore;
    default:
        return Cause::Library;
    }
}

// Both executables are single-threaded; per thread all the same.
thread_local Cause t_cause = Cause::None;
thread_local bool t_fromLibrary = false;
thread_local char t_formatted[1024];

void Note(const char *format, va_list ap)
{
    for (const Line &l : kLines) {
        if (std::strcmp(format, l.format) != 0) {
            continue;
        }
        switch (l.read) {
        case Read::Fixed:
            // A reload that fails after a refused cipher text is only the
            // retry failing: the cipher text's own fault stays the cause.
            if (!(l.cause == Cause::Reload && t_fromLibrary)) {
                t_cause = l.cause;
                t_fromLibrary = false;
            }
            break;
        case Read::LibraryResult: {
            (void)va_arg(ap, unsigned);
            (void)va_arg(ap, unsigned);
            t_cause = FromLibrary(va_arg(ap, unsigned long));
            t_fromLibrary = true;
            break;
        }
        case Read::PathRule:
            if (std::vsnprintf(t_formatted, sizeof t_formatted, format, ap) > 0) {
                t_cause = Cause::PathRule;
                t_fromLibrary = false;
            }
            break;
        case Read::MissingFiles: {
            const char *primary = va_arg(ap, const char *);
            const char *standby = va_arg(ap, const char *);
            if (std::snprintf(t_formatted, sizeof t_formatted,
                              "Cause: key store not loaded: %s or %s does not exist (make a store with "
                              "'zorvm_keytool create', or put both files back).",
                              primary, standby) > 0) {
                t_cause = Cause::MissingFiles;
                t_fromLibrary = false;
            }
            break;
        }
        }
        return;
    }
}

} // namespace

void ForgetAgentCause()
{
    t_cause = Cause::None;
    t_fromLibrary = false;
    t_formatted[0] = '\0';
}

const char *AgentCause()
{
    return kCauseText[static_cast<int>(t_cause)] != nullptr || t_cause == Cause::None
               ? kCauseText[static_cast<int>(t_cause)]
               : t_formatted;
}

bool AgentCausePermanent() { return Permanent(t_cause); }

} // namespace brim

extern "C" void NoteAgentLog(int32_t, int32_t, const char *, int32_t, int32_t, const char *format, ...)
{
    if (format == nullptr) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    brim::Note(format, ap);
    va_end(ap);
}
