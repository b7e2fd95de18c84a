#include "store_pair.h"

#include <openssl/crypto.h>

#include <atomic>
#include <utility>

#include "failure_detail.h"
#include "load_report.h"
#include "store_codec.h"
#include "store_file.h"
#include "trust/store_pin.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

bool IsFileProblem(std::uint64_t s) { return s == QINT_ERR_FILE_MISSING || s == QINT_ERR_FILE_READ; }

} // namespace

namespace {

void Decode(CopyCheck &c, const Unlock &unlock, bool unwrap)
{
    if (c.status == 0) {
        ClearFailureDetail();
        c.status = DecodeStore(c.bytes, unlock, c.image, unwrap);
        if (c.status != 0) {
            c.detail = FailureDetail();
        }
    }
    if (c.status == 0) {
        c.counter = c.image.counter;
    }
}

bool IsHostKeyProblem(std::uint64_t s) { return s == QINT_ERR_HOST_KEY_MISSING || s == QINT_ERR_HOST_KEY_BAD; }

// A slot that does not open under the key this host supplies may as well be
// a damaged slot: the seal cannot tell a wrong key from a changed byte.
bool MayBeDamage(std::uint64_t s)
{
    return s == QINT_ERR_NO_SLOT_OPENS || s == QINT_ERR_WRONG_PASSPHRASE || s == QINT_ERR_TPM_NOT_THIS ||
           s == QINT_ERR_PKCS11_UNWRAP || s == QINT_ERR_SEALED_TAMPERED;
}

// Why neither copy is usable, in the words most useful to an operator.
std::uint64_t NeitherUsable(std::uint64_t ps, std::uint64_t ss)
{
    if (IsFileProblem(ps) && IsFileProblem(ss)) {
        return QINT_ERR_FILES_UNREADABLE;
    }
    for (std::uint64_t refusal : {QINT_ERR_NOT_PINNED, QINT_ERR_FORMAT1_REFUSED, QINT_ERR_IMPORT_ONLY}) {
        if (ps == refusal || ss == refusal) {
            return refusal; // whole copies the host will not use: nothing to do with damage
        }
    }
    for (std::uint64_t s : {ps, ss}) {
        if (IsProtectorFailure(s) && !MayBeDamage(s)) {
            return s; // host key file, TPM, passphrase: nothing to do with the files
        }
    }
    const bool pLocked = MayBeDamage(ps) || IsFileProblem(ps);
    const bool sLocked = MayBeDamage(ss) || IsFileProblem(ss);
    if (pLocked && sLocked) {
        return MayBeDamage(ps) ? ps : ss; // one copy at least is whole but does not open here
    }
    if (ps == QINT_ERR_UNSUPPORTED_VERSION || ss == QINT_ERR_UNSUPPORTED_VERSION) {
        return QINT_ERR_UNSUPPORTED_VERSION;
    }
    if (ps == QINT_ERR_NO_MEMORY || ss == QINT_ERR_NO_MEMORY) {
        return QINT_ERR_NO_MEMORY;
    }
    return QINT_ERR_BOTH_DAMAGED;
}

// A notice for the operator of a load that succeeded; the first one given
// names the notice, the details add up.
void Notice(PairLoad &load, std::uint64_t code, const std::string &text)
{
    if (load.notice == 0) {
        load.notice = code;
    }
    load.detail += (load.detail.empty() ? "" : "; ") + text;
}

// Once per process: a store that only the built-in key protects.
void NoteBuiltinOnly(const Callbacks &cb, PairLoad &load, const CopyCheck &c, const std::string &path,
                     const char *caller)
{
    static std::atomic<bool> noted{false};
    if (c.status == 0 && c.image.version == kStoreVersionBuiltin && !noted.exchange(true)) {
        const std::string text = "key store " + path +
                                 " is protected by the built-in key only: anyone with a copy of it and of this "
                                 "library can read its keys; bind it to this host with 'zorvm_keytool migrate "
                                 "--protect host'";
        cb.Log(QINT_LOG_FAILURE, caller, QINT_ERR_BUILTIN_ONLY, "%s", text.c_str());
        Notice(load, QINT_ERR_BUILTIN_ONLY, text);
    }
}

// How one copy stands, for the detail of a failure: "PATH: cause (detail)".
std::string CopyWords(const std::string &path, const CopyCheck &c)
{
    return path + ": " + QintErrorTextEx(c.status) + (c.detail.empty() ? "" : " (" + c.detail + ")");
}

// Both copies opened: they are copies of one store when they open under the
// same root key and, where both carry one, have the same store id.
bool SameStore(const StoreImage &a, const StoreImage &b)
{
    return CRYPTO_memcmp(a.root.data(), b.root.data(), a.root.size()) == 0 && (!a.hasId || !b.hasId || a.id == b.id);
}

void Refuse(CopyCheck &c, std::uint64_t why)
{
    c.status = why;
    c.image = StoreImage(); // nothing of a refused copy is used
}

// The host's rules on two decoded copies (trust.md): copies of two stores
// never mix, a format-1 copy never stands beside a newer one, and once the
// host pinned the store it serves, only that store (and, in its pair, an
// older format-2 copy of it) is used.
void ApplyTrust(PairLoad &load, const StorePin &pin)
{
    CopyCheck &p = load.primary;
    CopyCheck &s = load.standby;
    // Identical copies were checked once (the standby's image is not kept):
    // the primary's verdict is the standby's.
    const bool identical = p.status == 0 && s.status == 0 && p.bytes == s.bytes;
    if (p.status == 0 && s.status == 0 && !identical && !SameStore(p.image, s.image)) {
        // The copy to keep: the pinned one, else the one of the newer
        // format, else the primary.
        const auto matches = [&](const CopyCheck &c) { return c.image.hasId && c.image.id == pin.id; };
        bool refusePrimary = false;
        if (pin.pinned() && matches(p) != matches(s)) {
            refusePrimary = matches(s);
        } else if (p.image.Builtin() != s.image.Builtin()) {
            refusePrimary = p.image.Builtin();
        }
        Refuse(refusePrimary ? p : s, QINT_ERR_FOREIGN_COPY);
    }
    if (pin.pinned()) {
        // Two copies still open here are copies of one store (checked above).
        // A format-2 copy, which has no id, is taken only as the older copy
        // of the pinned one.
        const auto pinnedId = [&](const CopyCheck &c) { return c.image.hasId && c.image.id == pin.id; };
        const bool pairPinned = p.status == 0 && s.status == 0 && !identical && (pinnedId(p) || pinnedId(s));
        for (CopyCheck *c : {&p, &s}) {
            if (c->status != 0 || (identical && c == &s)) {
                continue;
            }
            if (c->image.Builtin()) {
                Refuse(*c, QINT_ERR_FORMAT1_REFUSED);
            } else if (!pinnedId(*c) && !(pairPinned && !c->image.hasId)) {
                Refuse(*c, QINT_ERR_NOT_PINNED);
            }
        }
    }
    if (identical) {
        s.status = p.status;
    }
}

// Once per process: a host that has not pinned the store it serves.
void NoteUnpinned(const Callbacks &cb, const CopyCheck &c, const std::string &path, const char *caller)
{
    static std::atomic<bool> noted{false};
    if (!c.image.Builtin() && !noted.exchange(true)) {
        cb.Log(QINT_LOG_NOTICE, caller, 0,
               "this host has not pinned the key store it serves: 'zorvm_keytool adopt' (as root) pins %s",
               path.c_str());
    }
}

} // namespace

bool IsProtectorFailure(std::uint64_t s)
{
    switch (s) {
    case QINT_ERR_HOST_KEY_MISSING:
    case QINT_ERR_HOST_KEY_BAD:
    case QINT_ERR_NO_SLOT_OPENS:
    case QINT_ERR_WRONG_PASSPHRASE:
    case QINT_ERR_NO_PASSPHRASE:
    case QINT_ERR_TPM_UNREACHABLE:
    case QINT_ERR_TPM_NOT_THIS:
    case QINT_ERR_TPM_PCR_CHANGED:
    case QINT_ERR_TPM:
    case QINT_ERR_TPM_NO_POLICY:
    case QINT_ERR_TPM_POLICY_REFUSED:
    case QINT_ERR_PKCS11_URI:
    case QINT_ERR_PKCS11_MODULE:
    case QINT_ERR_PKCS11_TOKEN:
    case QINT_ERR_PKCS11_NO_PIN:
    case QINT_ERR_PKCS11_PIN:
    case QINT_ERR_PKCS11_KEY_MISSING:
    case QINT_ERR_PKCS11_UNWRAP:
    case QINT_ERR_PKCS11:
    case QINT_ERR_NOT_THIS_HOST:
    case QINT_ERR_SEALED_TAMPERED:
    case QINT_ERR_IMPORT_ONLY:
    case QINT_ERR_PKCS11_NOT_CONFIGURED:
        return true;
    default:
        return false;
    }
}

bool IsRefusal(std::uint64_t s)
{
    return s == QINT_ERR_FOREIGN_COPY || s == QINT_ERR_NOT_PINNED || s == QINT_ERR_FORMAT1_REFUSED ||
           s == QINT_ERR_IMPORT_ONLY;
}

CopyCheck CheckCopy(const Callbacks &cb, const std::string &path, const Unlock &unlock, bool unwrap)
{
    CopyCheck c;
    c.status = ReadStoreFile(cb, path.c_str(), c.bytes);
    Decode(c, unlock, unwrap);
    return c;
}

PairLoad LoadPair(const Callbacks &cb, const PairPaths &paths, const Unlock &unlock, bool restore, bool unwrap,
                  const char *caller)
{
    PairLoad load;
    // A carried copy (import) is not the store this host serves.
    const StorePin pin = unlock.importOnly || unlock.ignorePin ? StorePin() : ReadStorePin();
    if (pin.broken()) {
        load.result = load.primary.status = load.standby.status = QINT_ERR_HOST_CONFIG;
        load.detail = pin.detail;
        load.permanent = true;
        cb.Log(QINT_LOG_FAILURE, caller, load.result, "host configuration %s: %s; no key store is loaded",
               pin.path.c_str(), pin.detail.c_str());
        return load;
    }
    load.primary.status = ReadStoreFile(cb, paths.primary.c_str(), load.primary.bytes);
    load.standby.status = ReadStoreFile(cb, paths.standby.c_str(), load.standby.bytes);
    Decode(load.primary, unlock, unwrap);
    if (load.standby.status == 0 && load.primary.bytes == load.standby.bytes) {
        // Identical copies: one check serves both (the standby's image is
        // never the one used then).
        load.standby.status = load.primary.status;
        load.standby.counter = load.primary.counter;
    } else {
        Decode(load.standby, unlock, unwrap);
    }
    // Writers replace the standby first and the primary after it. One that
    // finished between the two reads above leaves a standby newer than the
    // primary just read: read the primary once more before restoring it, and
    // take it if it now matches the standby.
    if (load.standby.status == 0 && (load.primary.status != 0 || load.primary.counter < load.standby.counter)) {
        CopyCheck again;
        again.status = ReadStoreFile(cb, paths.primary.c_str(), again.bytes);
        if (again.status == 0 && again.bytes == load.standby.bytes) {
            Decode(again, unlock, unwrap);
            load.primary = std::move(again);
        }
    }
    ApplyTrust(load, pin);
    for (const auto &[copy, path] : {std::pair{&load.primary, &paths.primary}, {&load.standby, &paths.standby}}) {
        if (IsRefusal(copy->status) && copy->status != QINT_ERR_IMPORT_ONLY) {
            cb.Log(QINT_LOG_FAILURE, caller, copy->status, "key store copy %s refused: %s", path->c_str(),
                   QintErrorTextEx(copy->status));
            if (copy->status == QINT_ERR_NOT_PINNED) {
                copy->detail = "this host serves store " + StoreIdText(pin.id) + " (" + pin.path + ")";
            }
        }
    }
    const bool pOk = load.primary.status == 0;
    const bool sOk = load.standby.status == 0;

    if (!pOk && !sOk) {
        const auto ps = load.primary.status;
        const auto ss = load.standby.status;
        load.result = NeitherUsable(ps, ss);
        // Both files missing stays so until someone puts a store there; any
        // other read failure may pass.
        load.permanent = load.result == QINT_ERR_FILES_UNREADABLE
                             ? ps == QINT_ERR_FILE_MISSING && ss == QINT_ERR_FILE_MISSING
                             : PermanentCause(load.result);
        if (IsHostKeyProblem(load.result)) {
            const CopyCheck &c = ps == load.result ? load.primary : load.standby;
            load.detail = "host key file " + unlock.hostKeyPath + (c.detail.empty() ? "" : ": " + c.detail);
        } else if (ps == ss && load.primary.detail == load.standby.detail) {
            // One cause for both: said once, and not again when it is the result.
            const std::string why = ps == load.result ? load.primary.detail
                                    : load.primary.detail.empty()
                                        ? std::string(QintErrorTextEx(ps))
                                        : std::string(QintErrorTextEx(ps)) + " (" + load.primary.detail + ")";
            load.detail = "primary " + paths.primary + " and standby " + paths.standby + (why.empty() ? "" : ": " + why);
        } else {
            load.detail = "primary " + CopyWords(paths.primary, load.primary) + "; standby " +
                          CopyWords(paths.standby, load.standby);
        }
        cb.Log(QINT_LOG_FAILURE, caller, load.result, "no usable key store: %s: %s", QintErrorTextEx(load.result),
               load.detail.c_str());
        return load;
    }

    const CopyCheck &used = pOk ? load.primary : load.standby;
    const std::string &usedPath = pOk ? paths.primary : paths.standby;
    NoteBuiltinOnly(cb, load, used, usedPath, caller);
    if (!pin.pinned() && !unlock.importOnly) {
        NoteUnpinned(cb, used, usedPath, caller);
    }
    const std::uint64_t newest = std::max(pOk ? load.primary.counter : 0, sOk ? load.standby.counter : 0);
    if (pin.pinned() && newest < pin.newestUpdate) {
        const std::string text = "key store " + usedPath + " is older than the newest copy this host has seen (update " +
                                 std::to_string(newest) + ", newest " + std::to_string(pin.newestUpdate) +
                                 "): a restored backup or a rolled-back copy";
        cb.Log(QINT_LOG_FAILURE, caller, 0, "%s", text.c_str());
        Notice(load, QINT_ERR_ROLLBACK, text);
    }
    if (pOk && sOk && load.primary.bytes == load.standby.bytes) {
        load.chosen = Chosen::Primary;
        load.result = 0;
        return load;
    }
    // Prefer the newer copy; on a tie (or a damaged standby) the primary.
    const bool usePrimary = pOk && (!sOk || load.primary.counter >= load.standby.counter);
    load.chosen = usePrimary ? Chosen::Primary : Chosen::Standby;
    load.result = QINT_LOADED_RESTORED;
    const CopyCheck &good = usePrimary ? load.primary : load.standby;
    const CopyCheck &bad = usePrimary ? load.standby : load.primary;
    const std::string &goodPath = usePrimary ? paths.primary : paths.standby;
    const std::string &badPath = usePrimary ? paths.standby : paths.primary;
    const char *why = bad.status == 0 ? "older or different copy" : QintErrorTextEx(bad.status);
    cb.Log(QINT_LOG_NOTICE, caller, bad.status, "key store copy %s is not usable (%s); using %s",
           badPath.c_str(), why, goodPath.c_str());
    const std::string badWords = bad.status == 0 ? badPath + ": an older or different copy" : CopyWords(badPath, bad);
    if (!restore) {
        Notice(load, QINT_LOADED_RESTORED, badWords + "; " + goodPath + " used");
        return load;
    }
    // A copy the host refused belongs to another store (or is one it does
    // not take in this way): it is left as it is.
    if (IsRefusal(bad.status)) {
        Notice(load, bad.status, badWords + "; " + goodPath + " used, " + badPath + " left as it is");
        return load;
    }
    // A copy that does not open here and claims to be newer may be a store
    // written elsewhere with other slots: it is not overwritten. (Its
    // counter is not authenticated; a damaged one is at worst not repaired.)
    std::uint64_t badCounter = 0;
    if (IsProtectorFailure(bad.status) && PeekCounter(bad.bytes, badCounter) && badCounter > good.counter) {
        cb.Log(QINT_LOG_NOTICE, caller, bad.status, "%s is left as it is: it claims to be newer than %s",
               badPath.c_str(), goodPath.c_str());
        Notice(load, QINT_LOADED_RESTORED, badWords + "; " + goodPath + " used, " + badPath +
                                               " left as it is (it claims to be newer)");
        return load;
    }
    if (WriteStoreFile(cb, badPath.c_str(), good.bytes) != 0) {
        load.restoreFailed = true;
        cb.Log(QINT_LOG_FAILURE, caller, QINT_ERR_FILE_WRITE, "could not restore %s from %s", badPath.c_str(),
               goodPath.c_str());
        Notice(load, QINT_ERR_FILE_WRITE, badWords + "; " + goodPath + " used; " + badPath +
                                              " could not be rewritten ('zorvm_keytool repair' as root)");
        return load;
    }
    cb.Log(QINT_LOG_NOTICE, caller, 0, "restored %s from %s", badPath.c_str(), goodPath.c_str());
    Notice(load, QINT_LOADED_RESTORED, badWords + "; restored from " + goodPath);
    cb.Notify(QINT_EVENT_COPY_RESTORED, badPath.c_str());
    return load;
}

std::uint64_t WritePair(const Callbacks &cb, const PairPaths &paths, std::span<const std::uint8_t> bytes,
                        std::uint32_t &failedFile)
{
    failedFile = QINT_FILE_NONE;
    if (WriteStoreFile(cb, paths.standby.c_str(), bytes) != 0) {
        failedFile = QINT_FILE_STANDBY;
        return QINT_ERR_FILE_WRITE;
    }
    if (WriteStoreFile(cb, paths.primary.c_str(), bytes) != 0) {
        failedFile = QINT_FILE_PRIMARY;
        return QINT_ERR_FILE_WRITE;
    }
    return 0;
}

} // namespace zorv
