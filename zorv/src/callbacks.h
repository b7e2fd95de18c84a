// The callback record as the component uses it: every slot the caller left
// null falls back to a plain default (stdio streams, access(2), the crypto
// library's random generator, gmtime_r; nothing for log and events). Mixing
// caller slots with defaults assumes, as the record's contract says, that
// file handles are stdio streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <vector>

#include "zorv.h"

namespace zorv {

class Callbacks {
public:
    Callbacks() : cb_{} {}
    explicit Callbacks(const QintCallbacks &cb) : cb_(cb) {}

    const QintCallbacks &record() const { return cb_; }
    // True when the caller supplied the open slot: files it creates get the
    // caller's creation mode, so new key-store files are made 0600 first.
    bool callerOpens() const { return cb_.fileOpen != nullptr; }

    void *Open(const char *path, int mode) const;
    int Close(void *stream) const;
    bool Read(void *buffer, std::size_t length, void *stream) const;
    bool Write(const void *data, std::size_t length, void *stream) const;
    int Flush(void *stream) const;
    long Tell(void *stream) const;
    long Seek(void *stream, long offset, int whence) const;
    bool AtEof(void *stream) const;
    bool HasError(void *stream) const;
    bool Exists(const char *path) const;
    bool Random(std::span<std::uint8_t> out) const;
    bool GmTime(std::time_t t, std::tm &out) const;
    void Notify(std::int32_t event, const char *text) const;

    // One log line through slot 22: level, "ZORV", the function, a number
    // (the result code, 0 for none) and the formatted message.
    void Log(int level, const char *function, std::uint64_t code, const char *format, ...) const
        __attribute__((format(printf, 5, 6)));

private:
    QintCallbacks cb_;
};

} // namespace zorv
