// The daemon's open connections: a fixed table of slots, kept in the order
// they were accepted, which is also the order of their deadlines.
#pragma once

#include "transport.h"

#include <array>
#include <cstdint>
#include <sys/socket.h>

namespace brim {

using Millis = int64_t;

// Milliseconds of the monotonic clock.
Millis NowMs();

inline constexpr int kMaxConnections = 256;
inline constexpr Millis kConnectionMillis = BRIM_CONN_TIMEOUT_SECONDS * 1000;

struct Connection {
    int fd = -1;
    int phase = BRIM_PHASE_HEAD;
    Millis deadline = 0; // accept time + 5 s, for the whole request and response
    struct ucred peer {};
    // The response while it leaves in parts (phase BRIM_PHASE_SEND only);
    // wiped when the connection closes.
    std::array<char, BRIM_MAX_RESPONSE_LEN> frame{};
    int frameLen = 0;
    int sent = 0;
    // What the audit line reports once the response is out.
    uint32_t domain = 0, keyId = 0, plainLen = 0;

    // Bookkeeping of the table and the event loop.
    uint32_t watching = 0; // the events registered for fd, 0 when not registered
    uint32_t generation = 0;
    int prev = -1, next = -1;
};

class ConnectionTable {
public:
    ConnectionTable();
    ConnectionTable(const ConnectionTable &) = delete;
    ConnectionTable &operator=(const ConnectionTable &) = delete;

    bool Full() const { return free_ < 0; }
    bool Empty() const { return oldest_ < 0; }

    // Takes fd into a free slot with its deadline 5 s from now. nullptr when
    // the table is full (fd stays the caller's).
    Connection *Insert(int fd, const struct ucred &peer, Millis now);

    // Closes the connection's descriptor, wipes the slot and frees it.
    void Close(Connection &conn);

    // A token for the event loop's registration, and the connection it
    // names, nullptr once that connection was closed (its slot may have been
    // taken again since).
    uint64_t Token(const Connection &conn) const;
    Connection *Find(uint64_t token);

    // The connection accepted first (the earliest deadline), or nullptr.
    Connection *Oldest();
    const Connection *Oldest() const;
    // The connection accepted first among those still without a complete
    // request, or nullptr.
    Connection *OldestWaiting();

private:
    int IndexOf(const Connection &conn) const;

    std::array<Connection, kMaxConnections> slots_{};
    std::array<int, kMaxConnections> freeNext_{};
    int free_ = 0;              // head of the free slots
    int oldest_ = -1, newest_ = -1; // accept order
};

} // namespace brim
