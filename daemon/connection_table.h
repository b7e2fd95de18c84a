// The daemon's open connections: a fixed table of slots, kept in the order
// they were accepted, which is also the order of their deadlines.
#pragma once

#include "line_limit.h"
#include "transport.h"

#include <array>
#include <cstdint>
#include <sys/socket.h>

namespace brim {

// Milliseconds and microseconds of the monotonic clock.
Millis NowMs();
int64_t NowUs();

inline constexpr int kMaxConnections = 256;
// A complete request whose decryption waits to try the key store again: past
// the transport's phases, never evicted, not watched for events meanwhile.
inline constexpr int kPhaseRetry = BRIM_PHASE_SEND + 1;
// The request kept while it waits (the daemon's receive buffer is shared).
inline constexpr size_t kMaxRequestLen = 2048;
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
    // What the audit line reports once the response is out, with the
    // peer's start time and program as read at accept (audit only).
    uint32_t domain = 0, keyId = 0, plainLen = 0;
    uint64_t startTime = 0; // 0: unknown
    std::array<char, 260> program{};
    int64_t acceptedUs = 0; // for the latency of the answer
    // Waiting to try again (kPhaseRetry): the request, the try it is at,
    // and when. Wiped when the connection closes.
    std::array<char, kMaxRequestLen> request{};
    int attempt = 0;
    Millis retryAt = 0;

    // Bookkeeping of the table and the event loop.
    uint32_t watching = 0; // the events registered for fd, 0 when not registered
    uint32_t generation = 0;
    int prev = -1, next = -1;
    int share = -1; // the entry counting the peer process's connections
};

class ConnectionTable {
public:
    ConnectionTable();
    ConnectionTable(const ConnectionTable &) = delete;
    ConnectionTable &operator=(const ConnectionTable &) = delete;

    bool Full() const { return free_ < 0; }
    bool Empty() const { return oldest_ < 0; }
    int Count() const { return open_; }

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

    // Connections open for the peer process pid.
    int CountOf(pid_t pid) const;
    // The connection to close to make room: among those still without a
    // complete request and accepted at least grace ago, the oldest of the
    // process holding the most connections; nullptr when there is none.
    Connection *Victim(Millis now, Millis grace);
    // When the oldest connection still without a complete request has been
    // open for grace, or kNever when none is waiting.
    Millis NextVictimAt(Millis grace);

private:
    struct Share {
        pid_t pid = 0;
        int count = 0; // 0: a free entry
    };
    int IndexOf(const Connection &conn) const;
    int ShareFor(pid_t pid);

    std::array<Connection, kMaxConnections> slots_{};
    std::array<int, kMaxConnections> freeNext_{};
    int free_ = 0;              // head of the free slots
    int oldest_ = -1, newest_ = -1; // accept order
    int open_ = 0;
    // Connections per peer process; entries from shareEnd_ on were never used.
    std::array<Share, kMaxConnections> shares_{};
    int shareEnd_ = 0;
};

} // namespace brim
