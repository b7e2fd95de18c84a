#include "connection_table.h"

#include "bounded.h"

#include <ctime>
#include <unistd.h>

namespace brim {

Millis NowMs()
{
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Millis>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

ConnectionTable::ConnectionTable()
{
    for (int i = 0; i < kMaxConnections; ++i) {
        freeNext_[static_cast<size_t>(i)] = i + 1 < kMaxConnections ? i + 1 : -1;
    }
}

int ConnectionTable::IndexOf(const Connection &conn) const { return static_cast<int>(&conn - slots_.data()); }

Connection *ConnectionTable::Insert(int fd, const struct ucred &peer, Millis now)
{
    if (free_ < 0) {
        return nullptr;
    }
    const int at = free_;
    free_ = freeNext_[static_cast<size_t>(at)];
    Connection &conn = slots_[static_cast<size_t>(at)];
    conn.fd = fd;
    conn.phase = BRIM_PHASE_HEAD;
    conn.deadline = now + kConnectionMillis;
    conn.peer = peer;
    conn.frameLen = conn.sent = 0;
    conn.watching = 0;
    conn.domain = conn.keyId = conn.plainLen = 0;
    conn.prev = newest_;
    conn.next = -1;
    if (newest_ >= 0) {
        slots_[static_cast<size_t>(newest_)].next = at;
    } else {
        oldest_ = at;
    }
    newest_ = at;
    return &conn;
}

void ConnectionTable::Close(Connection &conn)
{
    const int at = IndexOf(conn);
    (void)close(conn.fd);
    conn.fd = -1;
    if (conn.frameLen > 0) {
        (void)memset_s(conn.frame.data(), conn.frame.size(), 0, conn.frame.size());
        conn.frameLen = 0;
    }
    (conn.prev >= 0 ? slots_[static_cast<size_t>(conn.prev)].next : oldest_) = conn.next;
    (conn.next >= 0 ? slots_[static_cast<size_t>(conn.next)].prev : newest_) = conn.prev;
    conn.prev = conn.next = -1;
    ++conn.generation; // events still queued for the old connection no longer find it
    freeNext_[static_cast<size_t>(at)] = free_;
    free_ = at;
}

uint64_t ConnectionTable::Token(const Connection &conn) const
{
    return (static_cast<uint64_t>(conn.generation) << 32) | static_cast<uint32_t>(IndexOf(conn));
}

Connection *ConnectionTable::Find(uint64_t token)
{
    const uint32_t at = static_cast<uint32_t>(token);
    if (at >= static_cast<uint32_t>(kMaxConnections)) {
        return nullptr;
    }
    Connection &conn = slots_[at];
    return conn.fd >= 0 && conn.generation == static_cast<uint32_t>(token >> 32) ? &conn : nullptr;
}

Connection *ConnectionTable::Oldest() { return oldest_ >= 0 ? &slots_[static_cast<size_t>(oldest_)] : nullptr; }

const Connection *ConnectionTable::Oldest() const
{
    return oldest_ >= 0 ? &slots_[static_cast<size_t>(oldest_)] : nullptr;
}

Connection *ConnectionTable::OldestWaiting()
{
    for (int at = oldest_; at >= 0; at = slots_[static_cast<size_t>(at)].next) {
        if (slots_[static_cast<size_t>(at)].phase != BRIM_PHASE_SEND) {
            return &slots_[static_cast<size_t>(at)];
        }
    }
    return nullptr;
}

} // namespace brim
