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

int64_t NowUs()
{
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
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
    conn.startTime = 0;
    conn.program[0] = '\0';
    conn.acceptedUs = NowUs();
    ++open_;
    conn.share = ShareFor(peer.pid);
    ++shares_[static_cast<size_t>(conn.share)].count;
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
    if (conn.phase == kPhaseRetry) {
        (void)memset_s(conn.request.data(), conn.request.size(), 0, conn.request.size());
    }
    conn.attempt = 0;
    (conn.prev >= 0 ? slots_[static_cast<size_t>(conn.prev)].next : oldest_) = conn.next;
    (conn.next >= 0 ? slots_[static_cast<size_t>(conn.next)].prev : newest_) = conn.prev;
    conn.prev = conn.next = -1;
    --open_;
    --shares_[static_cast<size_t>(conn.share)].count;
    conn.share = -1;
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
        if (slots_[static_cast<size_t>(at)].phase < BRIM_PHASE_SEND) {
            return &slots_[static_cast<size_t>(at)];
        }
    }
    return nullptr;
}

// The process's entry, or a free one (a table of 256 entries never runs
// out: each open connection holds at most one).
int ConnectionTable::ShareFor(pid_t pid)
{
    int free = -1;
    for (int i = 0; i < shareEnd_; ++i) {
        const Share &s = shares_[static_cast<size_t>(i)];
        if (s.count > 0 && s.pid == pid) {
            return i;
        }
        if (s.count == 0 && free < 0) {
            free = i;
        }
    }
    if (free < 0) {
        free = shareEnd_++;
    }
    shares_[static_cast<size_t>(free)].pid = pid;
    return free;
}

int ConnectionTable::CountOf(pid_t pid) const
{
    for (int i = 0; i < shareEnd_; ++i) {
        const Share &s = shares_[static_cast<size_t>(i)];
        if (s.count > 0 && s.pid == pid) {
            return s.count;
        }
    }
    return 0;
}

Connection *ConnectionTable::Victim(Millis now, Millis grace)
{
    Connection *victim = nullptr;
    int most = 0;
    for (int at = oldest_; at >= 0; at = slots_[static_cast<size_t>(at)].next) {
        Connection &c = slots_[static_cast<size_t>(at)];
        if (c.deadline - kConnectionMillis + grace > now) {
            break; // accept order: the rest are younger still
        }
        const int count = shares_[static_cast<size_t>(c.share)].count;
        if (c.phase < BRIM_PHASE_SEND && count > most) {
            victim = &c;
            most = count;
        }
    }
    return victim;
}

Millis ConnectionTable::NextVictimAt(Millis grace)
{
    const Connection *waiting = OldestWaiting();
    return waiting != nullptr ? waiting->deadline - kConnectionMillis + grace : kNever;
}

} // namespace brim
