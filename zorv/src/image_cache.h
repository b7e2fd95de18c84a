// Per-process cache of verified key-store pairs.
//
// Loading a store means reading both files, opening a protector slot,
// checking the MAC of each and indexing its entries. A process that loads the same unchanged pair again
// and again (a service that initialises and finalises around every request)
// would repeat all of that for nothing, and the work grows with the store.
// So the component keeps, per pair of paths, the parsed index (KeyIndex:
// counters and wrapped keys; never an unwrapped key) of the last load that
// found both files valid and equal, together with both files' identity and
// change stamps. The index's wrapped keys and wrapping key sit in memory
// kept out of core images and wiped when the index goes
// (dumpless_block.h); the key schedule that unwraps them and every
// unwrapped key belong to one load. The rule:
//
// - Stamps are what lstat(2) reports for the path itself, without following
//   a link in the last component: device, inode, size, modification time and
//   status-change time, both to the nanosecond. Anything other than a
//   regular file is never cached, so a path that is or becomes a link is
//   always read through the callbacks and meets their path rule.
// - A load first takes the stamps of both files. When both equal the stamps
//   recorded with an index, the load reuses that index and neither reads nor
//   hashes the files. Every write (in place or by rename), truncation,
//   replacement, chmod, chown or link count change moves at least one stamp;
//   the status-change time cannot be set back from user space, so a file
//   damaged in place whose modification time was put back is still seen.
// - An index is recorded only after a load that read and verified both
//   files, only when the stamps taken before the reads equal those taken
//   after them, and only when both status-change times lie before the
//   coarse wall clock read at the start of that load. File times come from
//   that same clock (or a finer one that is never behind it), so any later
//   change carries a newer time than the one recorded, even one made within
//   the same clock tick as the verified write. A file changed during the
//   tick of its load is simply read again next time.
// - An index is also bound to what the process brought to open the store's
//   protector slots (protect/settings.h): the host key file's path and its
//   lstat stamps (as above, with mode and owner; a missing file is a stamp
//   of its own), whether a recovery passphrase was set and which one (a
//   salted SHA-256 under a random per-process salt, never the passphrase),
//   the PCR mask and the recovery cost. A load whose unlock snapshot differs
//   in any of these reads, opens and verifies the files again, so a process
//   that drops or replaces its host key or passphrase never keeps loading a
//   store through an index opened with the old one. A TPM is not asked
//   again while the stamps hold, as the slot-key cache does not ask it again
//   (protect/slot_cache.h).
// - The cache serves only loads made through the same registered callback
//   record as the load that verified the files (another record may read
//   differently), and it rests on the record's file slots reading the files
//   that the paths name on disk, as the agent's stdio slots do. Callbacks
//   that serve files of their own under paths naming no regular file on
//   disk (the fuzz targets' memory store) are never cached. Unwrapped keys live in the table of one load and are wiped
//   when it is released (key_table.h); nothing here holds them.
// - A step of the wall clock backwards could in principle let a later
//   change reproduce recorded stamps to the nanosecond; the files' real
//   protection stays their permissions.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "key_table.h"
#include "protect/settings.h"
#include "zorv.h"

namespace zorv {

struct FileStamps {
    bool regular = false; // a regular file was found at the path
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

// What an unlock snapshot means for the cache: the host key file's path and
// stamps, the passphrase's salted digest, the PCR mask and recovery cost.
struct UnlockStamps {
    std::string hostKeyPath;
    int hostKeyErrno = 0; // 0: lstat found the file (hostKey holds it)
    FileStamps hostKey;
    mode_t hostKeyMode = 0;
    uid_t hostKeyOwner = 0;
    bool hasPassphrase = false;
    std::array<std::uint8_t, 32> passphraseDigest{};
    std::uint32_t pcrMask = 0;
    std::uint8_t scryptLog2N = 0;
    bool usable = false; // false: the snapshot could not be taken; never cached
};

// Both files' stamps, the unlock snapshot's, and the coarse clock before
// they were taken.
struct PairStamps {
    timespec start{};
    FileStamps primary;
    FileStamps standby;
    UnlockStamps unlock;
};

PairStamps TakeStamps(const std::string &primary, const std::string &standby, const Unlock &unlock);

// The index recorded for this pair and record when both files still show
// the recorded stamps, else null.
std::shared_ptr<const KeyIndex> CachedIndex(const QintCallbacks &record, const std::string &primary,
                                            const std::string &standby, const PairStamps &now);

// Records index for the pair after a load that verified both files between
// the stamps before (taken ahead of the reads) and the files' present ones;
// does nothing when the rule above does not allow it.
void RememberIndex(const QintCallbacks &record, const std::string &primary, const std::string &standby,
                   const Unlock &unlock, const PairStamps &before, std::shared_ptr<const KeyIndex> index);

} // namespace zorv
