#include "store_pair.h"

#include <utility>

#include "store_codec.h"
#include "store_file.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

bool IsFileProblem(std::uint64_t s) { return s == QINT_ERR_FILE_MISSING || s == QINT_ERR_FILE_READ; }

} // namespace

namespace {

void Decode(CopyCheck &c, bool unwrap)
{
    if (c.status == 0) {
        c.status = DecodeStore(c.bytes, c.image, unwrap);
    }
    if (c.status == 0) {
        c.counter = c.image.counter;
    }
}

} // namespace

CopyCheck CheckCopy(const Callbacks &cb, const std::string &path, bool unwrap)
{
    CopyCheck c;
    c.status = ReadStoreFile(cb, path.c_str(), c.bytes);
    Decode(c, unwrap);
    return c;
}

PairLoad LoadPair(const Callbacks &cb, const PairPaths &paths, bool restore, bool unwrap, const char *caller)
{
    PairLoad load;
    load.primary.status = ReadStoreFile(cb, paths.primary.c_str(), load.primary.bytes);
    load.standby.status = ReadStoreFile(cb, paths.standby.c_str(), load.standby.bytes);
    Decode(load.primary, unwrap);
    if (load.standby.status == 0 && load.primary.bytes == load.standby.bytes) {
        // Identical copies: one check serves both (the standby's image is
        // never the one used then).
        load.standby.status = load.primary.status;
        load.standby.counter = load.primary.counter;
    } else {
        Decode(load.standby, unwrap);
    }
    // Writers replace the standby first and the primary after it. One that
    // finished between the two reads above leaves a standby newer than the
    // primary just read: read the primary once more before restoring it, and
    // take it if it now matches the standby.
    if (load.standby.status == 0 && (load.primary.status != 0 || load.primary.counter < load.standby.counter)) {
        CopyCheck again;
        again.status = ReadStoreFile(cb, paths.primary.c_str(), again.bytes);
        if (again.status == 0 && again.bytes == load.standby.bytes) {
            Decode(again, unwrap);
            load.primary = std::move(again);
        }
    }
    const bool pOk = load.primary.status == 0;
    const bool sOk = load.standby.status == 0;

    if (!pOk && !sOk) {
        const auto ps = load.primary.status;
        const auto ss = load.standby.status;
        if (IsFileProblem(ps) && IsFileProblem(ss)) {
            load.result = QINT_ERR_FILES_UNREADABLE;
        } else if (ps == QINT_ERR_UNSUPPORTED_VERSION || ss == QINT_ERR_UNSUPPORTED_VERSION) {
            load.result = QINT_ERR_UNSUPPORTED_VERSION;
        } else if (ps == QINT_ERR_NO_MEMORY || ss == QINT_ERR_NO_MEMORY) {
            load.result = QINT_ERR_NO_MEMORY;
        } else {
            load.result = QINT_ERR_BOTH_DAMAGED;
        }
        cb.Log(QINT_LOG_FAILURE, caller, load.result,
               "no usable key store: primary %s: %s; standby %s: %s", paths.primary.c_str(),
               QintErrorTextEx(ps), paths.standby.c_str(), QintErrorTextEx(ss));
        return load;
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
    if (!restore) {
        return load;
    }
    if (WriteStoreFile(cb, badPath.c_str(), good.bytes) != 0) {
        load.restoreFailed = true;
        cb.Log(QINT_LOG_FAILURE, caller, QINT_ERR_FILE_WRITE, "could not restore %s from %s", badPath.c_str(),
               goodPath.c_str());
        return load;
    }
    cb.Log(QINT_LOG_NOTICE, caller, 0, "restored %s from %s", badPath.c_str(), goodPath.c_str());
    cb.Notify(QINT_EVENT_COPY_RESTORED, badPath.c_str());
    return load;
}

std::uint64_t WritePair(const Callbacks &cb, const PairPaths &paths, const std::vector<std::uint8_t> &bytes,
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
