// The daemon's own files (the metrics file, the key usage record) replaced
// whole: a new file beside the old one, created exclusively and never
// through a link, given its mode whatever the umask, written, synced and
// renamed over the old one, so a reader sees the old file or the new one.
#pragma once

#include <sys/types.h>

#include <string>

namespace brim {

struct ReplaceResult {
    const char *step = nullptr; // null: replaced; else the step that failed
    int error = 0;              // its errno
};

// Replaces name in the folder open as dirFd with text.
ReplaceResult ReplaceFile(int dirFd, const std::string &name, const std::string &text, mode_t mode);

} // namespace brim
