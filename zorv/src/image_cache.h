// Per-process cache of verified key-store pairs.
//
// Loading a store means reading both files, checking the MAC of each and
// indexing its entries. A process that loads the same unchanged pair again
// and again (a service that initialises and finalises around every request)
// would repeat all of that for nothing, and the work grows with the store.
// So the component keeps, per pair of paths, the parsed index (KeyIndex:
// counters and wrapped keys; never an unwrapped key) of the last load that
// found both files valid and equal, together with both files' identity and
// change stamps. The rule:
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

#include <memory>
#include <string>

#include "key_table.h"
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

// Both files' stamps and the coarse clock before they were taken.
struct PairStamps {
    timespec start{};
    FileStamps primary;
    FileStamps standby;
};

PairStamps TakeStamps(const std::string &primary, const std::string &standby);

// The index recorded for this pair and record when both files still show
// the recorded stamps, else null.
std::shared_ptr<const KeyIndex> CachedIndex(const QintCallbacks &record, const std::string &primary,
                                            const std::string &standby, const PairStamps &now);

// Records index for the pair after a load that verified both files between
// the stamps before (taken ahead of the reads) and the files' present ones;
// does nothing when the rule above does not allow it.
void RememberIndex(const QintCallbacks &record, const std::string &primary, const std::string &standby,
                   const PairStamps &before, std::shared_ptr<const KeyIndex> index);

} // namespace zorv
