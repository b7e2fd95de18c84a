// Serve loop: one thread and one epoll set. Up to 256 connections are read
// and answered side by side, each within 5 s of its accept for its whole
// request and response. Complete requests are decrypted one at a time, in
// the order they became complete, by the decrypt front, so the agent is only
// ever used by this thread, one call at a time. A request whose key store
// did not load for a cause that may pass waits its second between tries
// aside, while the others are served; one that cannot load (a missing file,
// a refused key) is answered at once. One peer process holds at
// most its share of the places; when all are taken, the oldest waiting
// connection of the process holding the most makes room, once its grace
// time is over. The same loop writes the metrics file and tells the service
// manager's watchdog it is alive.
#include "serve_loop.h"

#include "agent_calls.h"
#include "audit_line.h"
#include "connection_table.h"
#include "console_log.h"
#include "failure_lines.h"
#include "metrics.h"
#include "request_outcome.h"
#include "serve_settings.h"
#include "service_manager.h"
#include "usage_record.h"
#include "transport.h"

#include "bounded.h"

#include <algorithm>
#include <array>
#include <deque>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <span>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brim {
namespace {

constexpr uint64_t kListenToken = ~uint64_t{0};
constexpr uint64_t kSignalToken = ~uint64_t{1};
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

void LogRefusalsNotShown(int uid, unsigned count) { BrimLogRefusalsNotShown(uid, count); }

class ServeLoop {
public:
    ServeLoop(int listenFd, std::span<char> recvBuf, std::span<char> sendBuf, const ServeSettings &settings)
        : listenFd_(listenFd), recvBuf_(recvBuf), sendBuf_(sendBuf), settings_(settings),
          metrics_(settings.metricsFile), watchdogMillis_(BrimWatchdogPingMillis())
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
    bool MakeRoom(Millis now);
    bool RoomFor(Millis now);
    void Advance(Connection &conn);
    void Answer(Connection &conn, int attempt);
    void WaitToRetry(Connection &conn, Millis now);
    void RetryDue(Millis now);
    void Failed(const FailedDecrypt &why);
    void Close(Connection &conn, RequestResult result);
    void Watch(Connection &conn, uint32_t events);
    void ExpireDeadlines(Millis now);
    void Report(Millis now);
    void Tick(Millis now);
    void PingWatchdog(Millis now);
    int WaitMillis(Millis now);
    void LogAcceptFailure(Millis now);
    void PauseAccepting(Millis now);
    void WaitForRoom();
    void ResumeAccepting();
    bool StopListening();
    bool CatchStopSignals();
    [[noreturn]] void Stop();
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
    const ServeSettings settings_;
    Metrics metrics_;
    UsageRecord usage_;
    ConnectionTable table_;
    KeyedLineLimit refusals_{LogRefusalsNotShown};
    OncePerInterval acceptFailureLog_, roomLog_, shareLog_, noDescriptorLog_;
    unsigned closedForRoom_ = 0;  // not yet reported
    unsigned closedOverShare_ = 0; // not yet reported
    std::uint64_t answered_ = 0;  // responses sent in full
    bool listening_ = true;       // the listening socket is in the epoll set
    Millis acceptPausedUntil_ = 0; // after a failure, accepting rests until then
    bool waitingForRoom_ = false;  // not accepting while every place is within its grace time
    int signalFd_ = -1;           // SIGTERM and SIGINT, with metrics on
    const Millis watchdogMillis_;  // 0: no watchdog
    Millis nextPing_ = 0;
    // Requests waiting to try the key store again, in the order they are
    // due (every wait is as long): their connections' tokens.
    std::deque<uint64_t> retries_;
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
    if (!CatchStopSignals()) {
        PrintLog("Error", "StartServer", __LINE__, "Failed create event loop.");
        return false;
    }
    ReopenReserve();
    usage_.Load(NowMs());
    return true;
}

// A stop by SIGTERM (or SIGINT) writes the key usage record and the
// metrics once more: the signals arrive through the event loop, which then
// ends the process by the same signal.
bool ServeLoop::CatchStopSignals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kSignalToken;
    return sigprocmask(SIG_BLOCK, &stop, nullptr) == 0 &&
           (signalFd_ = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK)) >= 0 &&
           epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &ev) == 0;
}

void ServeLoop::Stop()
{
    struct signalfd_siginfo info {};
    if (read(signalFd_, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) {
        info.ssi_signo = SIGTERM;
    }
    metrics_.SetOpen(table_.Count());
    metrics_.Write();
    usage_.Write();
    const int signo = static_cast<int>(info.ssi_signo);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, signo);
    (void)signal(signo, SIG_DFL);
    (void)sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    (void)raise(signo);
    _exit(128 + signo);
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
            } else if (events[i].data.u64 == kSignalToken) {
                Stop();
            } else if (Connection *conn = table_.Find(events[i].data.u64)) {
                Advance(*conn);
            }
        }
        Tick(NowMs());
    }
}

// What is due after every turn of the loop, events or not.
void ServeLoop::Tick(Millis now)
{
    RetryDue(now);
    ExpireDeadlines(now);
    Report(now);
    if (!listening_ && now >= acceptPausedUntil_ && (!waitingForRoom_ || RoomFor(now))) {
        ResumeAccepting();
    }
    ReopenReserve();
    if (table_.Empty()) {
        descriptorsShort_ = false;
    }
    if (metrics_.Enabled()) {
        metrics_.SetOpen(table_.Count());
        metrics_.WriteIfDue(now);
    }
    usage_.WriteIfDue(now);
    PingWatchdog(now);
}

// Also after each decryption: a turn of the loop may run many, each up to
// the seconds of the key store's retries, and each one done is progress.
void ServeLoop::PingWatchdog(Millis now)
{
    if (watchdogMillis_ > 0 && now >= nextPing_) {
        BrimNotifyWatchdog();
        nextPing_ = now + watchdogMillis_;
    }
}

int ServeLoop::WaitMillis(Millis now)
{
    Millis next = std::min({!listening_ && acceptPausedUntil_ > now ? acceptPausedUntil_ : kNever,
                            refusals_.NextFlush(), NextFailureLinesFlush(),
                            closedForRoom_ > 0 ? roomLog_.Next() : kNever,
                            closedOverShare_ > 0 ? shareLog_.Next() : kNever, metrics_.NextWrite(), usage_.NextWrite(),
                            watchdogMillis_ > 0 ? nextPing_ : kNever});
    for (const uint64_t token : retries_) {
        if (const Connection *conn = table_.Find(token); conn != nullptr && conn->phase == kPhaseRetry) {
            next = std::min(next, conn->retryAt);
            break;
        }
    }
    if (!listening_ && waitingForRoom_) {
        next = std::min(next, table_.NextVictimAt(settings_.graceMillis));
    }
    if (const Connection *oldest = table_.Oldest()) {
        next = std::min(next, oldest->deadline);
    }
    if (next == kNever) {
        return -1;
    }
    return static_cast<int>(std::clamp<Millis>(next - now, 0, INT_MAX));
}

// True when a new connection can have a place now: a free one, or one a
// connection past its grace time can make.
bool ServeLoop::RoomFor(Millis now)
{
    return !table_.Full() || table_.Victim(now, settings_.graceMillis) != nullptr;
}

void ServeLoop::Accept(Millis now)
{
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        if (!RoomFor(now)) {
            WaitForRoom();
            return;
        }
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

bool ServeLoop::StopListening()
{
    struct epoll_event ev {};
    ev.data.u64 = kListenToken;
    if (listening_ && epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev) == 0) {
        listening_ = false;
        return true;
    }
    return false;
}

void ServeLoop::PauseAccepting(Millis now)
{
    if (StopListening()) {
        acceptPausedUntil_ = now + kAcceptPauseMillis;
    }
}

// Every place is within its grace time: new connections wait in the listen
// queue until one is over or a place frees.
void ServeLoop::WaitForRoom()
{
    if (StopListening()) {
        waitingForRoom_ = true;
    }
}

void ServeLoop::ResumeAccepting()
{
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenToken;
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &ev) == 0) {
        listening_ = true;
        waitingForRoom_ = false;
    }
}

// A refused peer is closed at once and takes no slot, and so is a
// connection of a process that holds its share of places already. An
// admitted one takes a slot, if need be one that an older connection makes
// room for. descriptorsOut: fd was accepted with the reserve descriptor,
// which must be given back, so fd stays only if an older connection makes
// room.
void ServeLoop::Admit(int fd, bool descriptorsOut, Millis now)
{
    struct ucred peer;
    if (BrimCheckPeer(fd, &peer) != 0) {
        (void)close(fd);
        metrics_.Ended(RequestResult::RefusedPeer);
        if (refusals_.Allow(static_cast<int>(peer.uid), now)) {
            BrimLogRefusedPeer(static_cast<int>(peer.uid));
        }
        return;
    }
    if (table_.CountOf(peer.pid) >= settings_.perProcess) {
        (void)close(fd);
        ++closedOverShare_;
        metrics_.OverShare();
        return;
    }
    descriptorsShort_ = descriptorsShort_ || DescriptorsShort(fd);
    if ((descriptorsOut || table_.Full() || descriptorsShort_) && !MakeRoom(now) &&
        (descriptorsOut || table_.Full())) {
        (void)close(fd);
        ++closedForRoom_;
        metrics_.Evicted();
        return;
    }
    Connection *conn = table_.Insert(fd, peer, now);
    if (settings_.audit) {
        TakeIdentity(*conn);
    }
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

bool ServeLoop::MakeRoom(Millis now)
{
    Connection *victim = table_.Victim(now, settings_.graceMillis);
    if (victim == nullptr) {
        return false;
    }
    table_.Close(*victim);
    ++closedForRoom_;
    metrics_.Evicted();
    return true;
}

void ServeLoop::Close(Connection &conn, RequestResult result)
{
    metrics_.Ended(result);
    table_.Close(conn);
}

void ServeLoop::Advance(Connection &conn)
{
    if (conn.phase == BRIM_PHASE_HEAD) {
        const int step = BrimRecvHeadStep(conn.fd);
        if (step != BRIM_STEP_DONE) {
            step == BRIM_STEP_WAIT ? Watch(conn, EPOLLIN) : Close(conn, RequestResult::Incomplete);
            return;
        }
        conn.phase = BRIM_PHASE_DATA;
    }
    if (conn.phase == BRIM_PHASE_DATA) {
        Wipe(recvBuf_);
        const int step = BrimRecvDataStep(conn.fd, recvBuf_.data(), static_cast<int>(recvBuf_.size()));
        if (step != BRIM_STEP_DONE) {
            // A failed receive here is a request too long, or broken off.
            step == BRIM_STEP_WAIT ? Watch(conn, EPOLLIN) : Close(conn, RequestResult::Malformed);
            return;
        }
        Answer(conn, 0);
        return;
    }
    if (conn.phase == kPhaseRetry) {
        return; // not watched meanwhile; an event from before is stale
    }
    const int step = BrimSendStep(conn.fd, conn.frame.data(), conn.frameLen, &conn.sent);
    if (step == BRIM_STEP_WAIT) {
        Watch(conn, EPOLLOUT);
        return;
    }
    if (step != BRIM_STEP_DONE) {
        Close(conn, RequestResult::Incomplete);
        return;
    }
    ++answered_;
    metrics_.Answered(conn.domain, conn.keyId, NowUs() - conn.acceptedUs);
    usage_.Answered(conn.domain, conn.keyId);
    if (settings_.audit) {
        LogAnswered(conn);
    }
    table_.Close(conn);
}

// A request whose key store did not load for a cause that may pass waits
// the pause between tries without holding up the other connections: it
// keeps its request, leaves the epoll set and is tried again when due.
void ServeLoop::WaitToRetry(Connection &conn, Millis now)
{
    (void)memcpy_s(conn.request.data(), conn.request.size(), recvBuf_.data(),
                   std::min(recvBuf_.size(), conn.request.size()));
    Wipe(recvBuf_);
    if (conn.watching != 0) {
        (void)epoll_ctl(epollFd_, EPOLL_CTL_DEL, conn.fd, nullptr);
        conn.watching = 0;
    }
    conn.phase = kPhaseRetry;
    ++conn.attempt;
    conn.retryAt = now + BRIM_INIT_PAUSE_SECONDS * 1000;
    retries_.push_back(table_.Token(conn));
}

void ServeLoop::RetryDue(Millis now)
{
    while (!retries_.empty()) {
        Connection *conn = table_.Find(retries_.front());
        if (conn != nullptr && conn->phase == kPhaseRetry && conn->retryAt > now) {
            return;
        }
        retries_.pop_front();
        if (conn == nullptr || conn->phase != kPhaseRetry) {
            continue; // closed meanwhile (its deadline)
        }
        (void)memcpy_s(recvBuf_.data(), recvBuf_.size(), conn->request.data(), conn->request.size());
        (void)memset_s(conn->request.data(), conn->request.size(), 0, conn->request.size());
        conn->phase = BRIM_PHASE_DATA;
        Answer(*conn, conn->attempt);
    }
}

// Decrypts the request in the receive buffer and starts the response. Both
// working buffers are wiped whatever the outcome; the frame lives in the
// connection until it closes.
void ServeLoop::Answer(Connection &conn, int attempt)
{
    if (!CipherHeaderIds(recvBuf_.data(), &conn.domain, &conn.keyId)) {
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
        metrics_.Ended(RequestResult::StoreUnavailable, StoreCause::NoDescriptor);
        table_.Close(conn);
        return;
    }
    Wipe(sendBuf_);
    uint32_t plainLen = 0;
    if (lend) {
        LendReserve();
    }
    ChargeFailuresTo(static_cast<int>(conn.peer.pid), NowMs());
    const int decrypted =
        BrimDecryptAttempt(recvBuf_.data(), sendBuf_.data(), static_cast<int>(sendBuf_.size()), &plainLen, attempt);
    if (lend) {
        ReopenReserve();
    }
    PingWatchdog(NowMs());
    if (decrypted == BRIM_TRY_AGAIN) {
        WaitToRetry(conn, NowMs());
        return;
    }
    Wipe(recvBuf_);
    if (decrypted == -1) {
        Wipe(sendBuf_);
        const FailedDecrypt why = WhyDecryptFailed();
        if (why.result == RequestResult::KeyDisabled) {
            usage_.Refused(conn.domain, conn.keyId);
            if (settings_.audit) {
                LogRefusedDisabled(conn);
            }
        }
        metrics_.Loaded(why.loaded, why.cause);
        metrics_.Ended(why.result, why.cause);
        table_.Close(conn);
        return;
    }
    metrics_.Loaded(true, StoreCause::Unknown);
    const int frameLen =
        decrypted == 0 ? BrimFrameResponse(sendBuf_.data(), conn.frame.data(), static_cast<int>(conn.frame.size())) : -1;
    Wipe(sendBuf_);
    if (frameLen < 0) {
        Close(conn, RequestResult::Unanswerable);
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
        Close(conn, RequestResult::Incomplete);
        return;
    }
    conn.watching = events;
}

void ServeLoop::ExpireDeadlines(Millis now)
{
    for (Connection *conn = table_.Oldest(); conn != nullptr && conn->deadline <= now; conn = table_.Oldest()) {
        BrimLogTimedOut(conn->phase);
        Close(*conn, RequestResult::Incomplete);
    }
}

void ServeLoop::Report(Millis now)
{
    refusals_.Flush(now);
    FlushFailureLines(now);
    if (closedForRoom_ > 0 && roomLog_.Allow(now)) {
        PrintLog("Warn", "StartServer", __LINE__, "Closed {%u} connections to make room for new ones.",
                 closedForRoom_);
        closedForRoom_ = 0;
    }
    if (closedOverShare_ > 0 && shareLog_.Allow(now)) {
        PrintLog("Warn", "StartServer", __LINE__,
                 "Closed {%u} new connections of processes holding their share of {%d} places.", closedOverShare_,
                 settings_.perProcess);
        closedOverShare_ = 0;
    }
}

} // namespace
} // namespace brim

extern "C" void StartServer(int listenFd, char *recvBuf, int recvLen, char *sendBuf, int sendLen)
{
    // Static: the table of 256 connections stays off the stack.
    static brim::ServeLoop loop(listenFd, std::span<char>(recvBuf, static_cast<size_t>(recvLen)),
                                std::span<char>(sendBuf, static_cast<size_t>(sendLen)), brim::ReadServeSettings());
    if (!loop.Open()) {
        exit(-1);
    }
    BrimNotifyReady();
    loop.Run();
}
