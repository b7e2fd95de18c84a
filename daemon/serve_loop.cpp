// Serve loop: one thread and one epoll set. Up to 256 connections are read
// and answered side by side, each within 5 s of its accept for its whole
// request and response. Complete requests are decrypted one at a time, in
// the order they became complete, by the decrypt front, so the agent is only
// ever used by this thread, one call at a time.
#include "serve_loop.h"

#include "agent_calls.h"
#include "audit_line.h"
#include "connection_table.h"
#include "console_log.h"
#include "refusal_log.h"
#include "service_manager.h"
#include "transport.h"

#include "bounded.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brim {
namespace {

constexpr uint64_t kListenToken = ~uint64_t{0};
constexpr int kEventsPerWait = 64;
// Accepts per turn of the loop, so a stream of new connections cannot keep
// the open ones waiting.
constexpr int kAcceptsPerTurn = 64;
// How long accepting rests after a failure that the reserve descriptor
// cannot clear, so the loop never spins on a listening socket it cannot
// drain.
constexpr Millis kAcceptPauseMillis = 100;
// Descriptors kept for the decrypt front, which opens the key-store files
// for every request: a connection that would leave fewer free takes the slot
// of the oldest waiting one instead, and as many are held open in reserve
// for the moments the process has none to spare.
constexpr int kSpareDescriptors = 4;

void Wipe(std::span<char> bytes) { (void)memset_s(bytes.data(), bytes.size(), 0, bytes.size()); }

class ServeLoop {
public:
    ServeLoop(int listenFd, std::span<char> recvBuf, std::span<char> sendBuf)
        : listenFd_(listenFd), recvBuf_(recvBuf), sendBuf_(sendBuf), audit_(AuditEnabled())
    {
    }
    ServeLoop(const ServeLoop &) = delete;
    ServeLoop &operator=(const ServeLoop &) = delete;

    bool Open();
    [[noreturn]] void Run();

private:
    void Accept(Millis now);
    void Admit(int fd, bool descriptorsOut, Millis now);
    bool DescriptorsShort(int fd);
    bool MakeRoom();
    void Advance(Connection &conn);
    void Answer(Connection &conn);
    void Watch(Connection &conn, uint32_t events);
    void ExpireDeadlines(Millis now);
    void Report(Millis now);
    int WaitMillis(Millis now) const;
    void LogAcceptFailure(Millis now);
    void PauseAccepting(Millis now);
    void ResumeAccepting();
    void ReopenReserve();
    bool TakeReserve();
    void LendReserve();

    const int listenFd_;
    int epollFd_ = -1;
    // Open descriptors held back for the moments the process has no other:
    // one closed lets a pending connection be accepted and dealt with, all
    // closed let the decrypt front open its files.
    std::array<int, kSpareDescriptors> reserve_{-1, -1, -1, -1};
    const std::span<char> recvBuf_, sendBuf_;
    const bool audit_;
    ConnectionTable table_;
    RefusalLog refusals_;
    OncePerInterval acceptFailureLog_, roomLog_, noDescriptorLog_;
    unsigned closedForRoom_ = 0; // not yet reported
    std::uint64_t answered_ = 0;  // responses sent in full
    Millis acceptPausedUntil_ = kNever;
    rlim_t descriptorLimit_ = 0; // RLIMIT_NOFILE as last read
    bool descriptorsShort_ = false; // since the last time no connection was open
};

bool ServeLoop::Open()
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    const int flags = fcntl(listenFd_, F_GETFL);
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenToken;
    if (epollFd_ < 0 || flags < 0 || fcntl(listenFd_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev) != 0) {
        PrintLog("Error", "StartServer", __LINE__, "Failed create event loop.");
        return false;
    }
    ReopenReserve();
    return true;
}

void ServeLoop::ReopenReserve()
{
    for (int &fd : reserve_) {
        if (fd < 0 && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
            return;
        }
    }
}

// Closes one reserve descriptor; false when none was held.
bool ServeLoop::TakeReserve()
{
    for (int &fd : reserve_) {
        if (fd >= 0) {
            (void)close(fd);
            fd = -1;
            return true;
        }
    }
    return false;
}

void ServeLoop::LendReserve()
{
    while (TakeReserve()) {
    }
}

void ServeLoop::Run()
{
    struct epoll_event events[kEventsPerWait];
    for (;;) {
        const int n = epoll_wait(epollFd_, events, kEventsPerWait, WaitMillis(NowMs()));
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kListenToken) {
                Accept(NowMs());
            } else if (Connection *conn = table_.Find(events[i].data.u64)) {
                Advance(*conn);
            }
        }
        const Millis now = NowMs();
        ExpireDeadlines(now);
        Report(now);
        if (now >= acceptPausedUntil_) {
            ResumeAccepting();
        }
        ReopenReserve();
        if (table_.Empty()) {
            descriptorsShort_ = false;
        }
    }
}

int ServeLoop::WaitMillis(Millis now) const
{
    Millis next = std::min({acceptPausedUntil_, refusals_.NextFlush(),
                            closedForRoom_ > 0 ? roomLog_.Next() : kNever});
    if (const Connection *oldest = table_.Oldest()) {
        next = std::min(next, oldest->deadline);
    }
    if (next == kNever) {
        return -1;
    }
    return static_cast<int>(std::clamp<Millis>(next - now, 0, INT_MAX));
}

void ServeLoop::Accept(Millis now)
{
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            const std::uint64_t answeredBefore = answered_;
            Admit(fd, false, now);
            if (answered_ != answeredBefore) {
                // Served at once, as a lone client's request usually is:
                // back to the wait, which reports the listener again if more
                // are pending, rather than one more accept to learn there
                // is none. A flood of refused connections still drains in
                // batches.
                return;
            }
            continue;
        }
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            return;
        }
        if (err == EINTR || err == ECONNABORTED) {
            continue; // the next one, silently
        }
        LogAcceptFailure(now);
        descriptorsShort_ = descriptorsShort_ || err == EMFILE || err == ENFILE;
        if ((err == EMFILE || err == ENFILE) && TakeReserve()) {
            fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                Admit(fd, true, now);
            }
            ReopenReserve();
            if (fd >= 0 && reserve_.back() >= 0) {
                continue;
            }
        }
        PauseAccepting(now);
        return;
    }
}

void ServeLoop::LogAcceptFailure(Millis now)
{
    if (acceptFailureLog_.Allow(now)) {
        PrintLog("Warn", "StartServer", __LINE__, "Failed accept client.");
    }
}

void ServeLoop::PauseAccepting(Millis now)
{
    struct epoll_event ev {};
    ev.data.u64 = kListenToken;
    if (acceptPausedUntil_ == kNever && epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev) == 0) {
        acceptPausedUntil_ = now + kAcceptPauseMillis;
    }
}

void ServeLoop::ResumeAccepting()
{
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenToken;
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev) == 0) {
        acceptPausedUntil_ = kNever;
    }
}

// A refused peer is closed at once and takes no slot. An admitted one
// takes a slot, if need be the slot of the connection that has waited
// longest without a complete request. descriptorsOut: fd was accepted with
// the reserve descriptor, which must be given back, so fd stays only if an
// older connection makes room.
void ServeLoop::Admit(int fd, bool descriptorsOut, Millis now)
{
    struct ucred peer;
    if (BrimCheckPeer(fd, &peer) != 0) {
        (void)close(fd);
        refusals_.Refused(static_cast<int>(peer.uid), now);
        return;
    }
    descriptorsShort_ = descriptorsShort_ || DescriptorsShort(fd);
    if ((descriptorsOut || table_.Full() || descriptorsShort_) && !MakeRoom() &&
        (descriptorsOut || table_.Full())) {
        (void)close(fd);
        ++closedForRoom_;
        return;
    }
    Connection *conn = table_.Insert(fd, peer, now);
    Advance(*conn); // the request is often there already
}

// Descriptors are handed out lowest first, so fd tells how many are open.
bool ServeLoop::DescriptorsShort(int fd)
{
    const auto needed = static_cast<rlim_t>(fd) + 1 + kSpareDescriptors;
    if (needed <= descriptorLimit_) {
        return false;
    }
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        descriptorLimit_ = limit.rlim_cur; // it may have been changed from outside
    }
    return needed > descriptorLimit_;
}

bool ServeLoop::MakeRoom()
{
    Connection *victim = table_.OldestWaiting();
    if (victim == nullptr) {
        return false;
    }
    table_.Close(*victim);
    ++closedForRoom_;
    return true;
}

void ServeLoop::Advance(Connection &conn)
{
    if (conn.phase == BRIM_PHASE_HEAD) {
        const int step = BrimRecvHeadStep(conn.fd);
        if (step != BRIM_STEP_DONE) {
            step == BRIM_STEP_WAIT ? Watch(conn, EPOLLIN) : table_.Close(conn);
            return;
        }
        conn.phase = BRIM_PHASE_DATA;
    }
    if (conn.phase == BRIM_PHASE_DATA) {
        Wipe(recvBuf_);
        const int step = BrimRecvDataStep(conn.fd, recvBuf_.data(), static_cast<int>(recvBuf_.size()));
        if (step != BRIM_STEP_DONE) {
            step == BRIM_STEP_WAIT ? Watch(conn, EPOLLIN) : table_.Close(conn);
            return;
        }
        Answer(conn);
        return;
    }
    const int step = BrimSendStep(conn.fd, conn.frame.data(), conn.frameLen, &conn.sent);
    if (step == BRIM_STEP_WAIT) {
        Watch(conn, EPOLLOUT);
        return;
    }
    if (step == BRIM_STEP_DONE) {
        ++answered_;
        if (audit_) {
            LogAnswered(conn);
        }
    }
    table_.Close(conn);
}

// Decrypts the request in the receive buffer and starts the response. Both
// working buffers are wiped whatever the outcome; the frame lives in the
// connection until it closes.
void ServeLoop::Answer(Connection &conn)
{
    if (audit_ && !CipherHeaderIds(recvBuf_.data(), &conn.domain, &conn.keyId)) {
        conn.domain = conn.keyId = 0;
    }
    // The front opens the key-store files: with the process out of
    // descriptors it would fail and pause seconds between its tries, holding
    // up every connection, so while descriptors are short it runs only on
    // the reserve, lent for the call.
    const bool lend = descriptorsShort_;
    if (lend) {
        ReopenReserve();
    }
    if (lend && reserve_.back() < 0) {
        Wipe(recvBuf_);
        if (noDescriptorLog_.Allow(NowMs())) {
            PrintLog("Warn", "StartServer", __LINE__, "No descriptor left for the key store: request closed unanswered.");
        }
        table_.Close(conn);
        return;
    }
    Wipe(sendBuf_);
    uint32_t plainLen = 0;
    if (lend) {
        LendReserve();
    }
    const int decrypted =
        BrimDecrypt(recvBuf_.data(), sendBuf_.data(), static_cast<int>(sendBuf_.size()), &plainLen);
    if (lend) {
        ReopenReserve();
    }
    Wipe(recvBuf_);
    const int frameLen =
        decrypted == 0 ? BrimFrameResponse(sendBuf_.data(), conn.frame.data(), static_cast<int>(conn.frame.size())) : -1;
    Wipe(sendBuf_);
    if (frameLen < 0) {
        table_.Close(conn);
        return;
    }
    conn.plainLen = plainLen;
    conn.frameLen = frameLen;
    conn.sent = 0;
    conn.phase = BRIM_PHASE_SEND;
    Advance(conn);
}

void ServeLoop::Watch(Connection &conn, uint32_t events)
{
    if (conn.watching == events) {
        return;
    }
    struct epoll_event ev {};
    ev.events = events;
    ev.data.u64 = table_.Token(conn);
    if (epoll_ctl(epollFd_, conn.watching == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, conn.fd, &ev) != 0) {
        BrimLogTimedOut(conn.phase); // it could not wait for its peer: the same end as a time-out
        table_.Close(conn);
        return;
    }
    conn.watching = events;
}

void ServeLoop::ExpireDeadlines(Millis now)
{
    for (Connection *conn = table_.Oldest(); conn != nullptr && conn->deadline <= now; conn = table_.Oldest()) {
        BrimLogTimedOut(conn->phase);
        table_.Close(*conn);
    }
}

void ServeLoop::Report(Millis now)
{
    refusals_.Flush(now);
    if (closedForRoom_ > 0 && roomLog_.Allow(now)) {
        PrintLog("Warn", "StartServer", __LINE__, "Closed {%u} connections to make room for new ones.",
                 closedForRoom_);
        closedForRoom_ = 0;
    }
}

} // namespace
} // namespace brim

extern "C" void StartServer(int listenFd, char *recvBuf, int recvLen, char *sendBuf, int sendLen)
{
    // Static: the table of 256 connections stays off the stack.
    static brim::ServeLoop loop(listenFd, std::span<char>(recvBuf, static_cast<size_t>(recvLen)),
                         std::span<char>(sendBuf, static_cast<size_t>(sendLen)));
    if (!loop.Open()) {
        exit(-1);
    }
    BrimNotifyReady();
    loop.Run();
}
