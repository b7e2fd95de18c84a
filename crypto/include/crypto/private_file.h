// Files that hold a secret of this host (the host key, a token PIN): read
// only when nobody but their owner can reach them, straight into wiping
// storage.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "crypto/secret.h"

namespace zorv {

enum class PrivateFileStatus {
    ok,
    missing,     // no such file
    unopenable,  // a symbolic link, or open failed for another reason
    notRegular,  // a folder, device, pipe or socket
    foreignOwner, // owned by neither root nor this process's user
    openToOthers, // group may write, or others have some access
    tooLong,     // more than the allowed bytes
    unreadable,  // a read failed
};

// What was found at the path (valid from notRegular on): owner and mode.
struct PrivateFileFacts {
    uid_t owner = 0;
    mode_t mode = 0;
};

// Reads the file at path, opened once without following a link (and without
// blocking on a pipe): it must be a regular file owned by root or this
// process's effective user (root reads any owner's), that its group may at
// most read and others not reach at all, and hold at most maxLen bytes. ok and out holding the bytes; else out is empty and the
// status says why. facts, when given, gets the owner and mode found.
PrivateFileStatus ReadPrivateFile(const std::string &path, std::size_t maxLen, SecretBytes &out,
                                  PrivateFileFacts *facts = nullptr);

// Reads fd to its end, at most maxLen bytes, into out (wiping storage, one
// allocation). False on a read error or more than maxLen bytes; out is empty
// then. The descriptor stays open.
bool ReadBounded(int fd, std::size_t maxLen, SecretBytes &out);

} // namespace zorv
