#include "load_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "processes.h"

namespace load {

namespace {

constexpr uid_t kClientUid = 1000;

std::string Slurp(int fd)
{
    std::string out;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);) {
        if (n > 0) {
            out.append(chunk, static_cast<size_t>(n));
        }
    }
    return out;
}

int Connect(const std::string &name)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + name.size());
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    // A daemon that stops answering fails the client instead of hanging it.
    const timeval wait{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

std::string ReceiveAll(int fd)
{
    std::string out;
    char chunk[2048];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue; // the stop signal: finish the request under way
        }
        if (n <= 0) {
            return out;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

bool SendAll(int fd, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// The malformed requests, in turn: random bytes, data over the 2047-byte
// limit, a partial head, a request whose client leaves before the answer,
// and Base64 that is not a cipher text. Returns whether any byte came back
// (for the early disconnect: false).
bool SendMalformed(const std::string &name, int kind, std::mt19937 &rng, const Secret &some)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string data;
    switch (kind % 5) {
    case 0: {
        data = std::string(64, '\0');
        const int n = 1 + static_cast<int>(rng() % 300);
        for (int i = 0; i < n; ++i) {
            data.push_back(static_cast<char>(byte(rng)));
        }
        break;
    }
    case 1:
        data = std::string(64, '\0') + std::string(2048 + rng() % 100, 'A');
        break;
    case 2: {
        const int fd = Connect(name);
        if (fd < 0) {
            return true; // counted as a failure
        }
        (void)SendAll(fd, std::string(10 + rng() % 50, 'h'));
        shutdown(fd, SHUT_WR);
        const bool any = !ReceiveAll(fd).empty();
        close(fd);
        return any;
    }
    case 3: {
        const int fd = Connect(name);
        if (fd >= 0) {
            (void)SendAll(fd, std::string(64, '\0') + some.cipher);
            close(fd); // gone before the answer
        }
        return false;
    }
    default:
        data = std::string(64, '\0') + "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0NTY3ODk=";
        break;
    }
    return !Exchange(name, data).empty();
}

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

[[noreturn]] void RunClient(const ClientPlan &plan, const std::vector<Secret> &secrets, int resultFd)
{
    if (setgroups(0, nullptr) != 0 || setgid(kClientUid) != 0 || setuid(kClientUid) != 0) {
        _exit(121);
    }
    std::mt19937 rng(plan.seed);
    Tally t;
    for (int i = 0; i < plan.idleConnections; ++i) {
        const int fd = Connect(plan.name);
        if (fd >= 0) {
            t.idle += ReceiveAll(fd).empty() ? 1 : 0; // the daemon's time-out closes it
            close(fd);
        }
    }
    for (int i = 0; plan.requests == 0 ? g_stop == 0 : i < plan.requests; ++i) {
        const Secret &s = secrets[rng() % secrets.size()];
        if (Exchange(plan.name, std::string(64, '\0') + s.cipher) == ResponseFor(s.plain)) {
            ++t.answered;
        } else {
            ++t.wrong;
        }
        if (plan.malformedEvery > 0 && i % plan.malformedEvery == plan.malformedEvery - 1) {
            ++t.malformed;
            t.malformedAnswered += SendMalformed(plan.name, t.malformed, rng, s) ? 1 : 0;
        }
    }
    const bool written = write(resultFd, &t, sizeof t) == static_cast<ssize_t>(sizeof t);
    _exit(written ? 0 : 122);
}

} // namespace

bool Isolated()
{
    return e2e::Isolated();
}

int Keytool(const std::string &command)
{
    return e2e::RunProgram({e2e::BinPath("zorvm_keytool"), command}).status;
}

std::vector<Secret> MakeSecrets()
{
    std::vector<Secret> out;
    for (const std::string &plain : {std::string("x"), std::string("a short secret"), std::string(100, 'm'),
                                     std::string("p\xC3\xA4ssw\xC3\xB6rd with spaces and = + / signs"),
                                     std::string(500, 'k'), std::string(960, 'z')}) {
        const e2e::Outcome o = e2e::RunProgram({e2e::BinPath("encrypt_tool"), "encrpyt", "LOAD_SECRET"},
                                               e2e::WithEnv({{"LOAD_SECRET", plain}}));
        if (o.status != 0 || o.out.rfind("cipher_text:", 0) != 0) {
            return {};
        }
        out.push_back(Secret{plain, o.out.substr(12)});
    }
    return out;
}

Daemon::Daemon(const std::string &name, const std::vector<std::string> &prefix) : name_(name)
{
    char dir[] = "/tmp/zorva-load.XXXXXX";
    dir_ = mkdtemp(dir);
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        close(in);
        close(out);
        close(err);
        if (chdir(dir_.c_str()) != 0) {
            _exit(126);
        }
        setenv("DS_MINIO_UDS_NAME", ("@" + name).c_str(), 1);
        std::vector<std::string> words = prefix;
        words.push_back(e2e::BinPath("uds_decrypt_server"));
        std::vector<char *> argv;
        for (auto &w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

Daemon::~Daemon()
{
    Stop();
    const std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!std::system(cmd.c_str());
}

bool Daemon::Running() { return !reaped_ && pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

bool Daemon::WaitListening()
{
    // Under valgrind the start takes seconds.
    for (int i = 0; i < 3000; ++i) {
        if (e2e::AbstractNameListening(name_)) {
            return true;
        }
        if (!Running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Daemon::Stop()
{
    int status = -1;
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, &status, 0);
        reaped_ = true;
    }
    return status;
}

std::string Daemon::Out() const { return e2e::ReadFile(dir_ + "/out"); }
std::string Daemon::Err() const { return e2e::ReadFile(dir_ + "/err"); }

Usage UsageOf(pid_t pid)
{
    Usage u;
    const std::string base = "/proc/" + std::to_string(pid);
    std::istringstream status(e2e::ReadFile(base + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    if (DIR *d = opendir((base + "/fd").c_str())) {
        u.fds = 0;
        while (const dirent *e = readdir(d)) {
            u.fds += e->d_name[0] != '.' ? 1 : 0;
        }
        closedir(d);
    }
    return u;
}

Client::Client(const ClientPlan &plan, const std::vector<Secret> &secrets)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    // Blocked until the child has its handler, so an early Stop is not lost.
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &old);
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        struct sigaction sa {};
        sa.sa_handler = OnStop;
        sa.sa_flags = SA_RESTART; // a request under way finishes
        sigaction(SIGUSR1, &sa, nullptr);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        RunClient(plan, secrets, fds[1]);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(fds[1]);
    resultFd_ = fds[0];
}

void Client::Stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGUSR1);
    }
}

Client::~Client()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (resultFd_ >= 0) {
        close(resultFd_);
    }
}

Tally Client::Wait()
{
    Tally t;
    t.wrong = -1; // no report
    const std::string report = Slurp(resultFd_);
    if (report.size() == sizeof t) {
        std::memcpy(&t, report.data(), sizeof t);
    }
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return t;
}

Churner::Churner(const std::string &name, int connections)
{
    pid_ = fork();
    if (pid_ != 0) {
        return;
    }
    if (setgroups(0, nullptr) != 0 || setgid(kClientUid) != 0 || setuid(kClientUid) != 0) {
        _exit(121);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL); // after the change of user, which clears it
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + name.size());
    std::vector<pollfd> held(static_cast<size_t>(connections), pollfd{-1, POLLIN, 0});
    for (;;) {
        bool missing = false;
        for (pollfd &p : held) {
            if (p.fd < 0 && (p.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) >= 0 &&
                connect(p.fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
                close(p.fd); // the listen queue is full: again at once
                p.fd = -1;
            }
            missing = missing || p.fd < 0;
        }
        if (poll(held.data(), held.size(), missing ? 1 : 100) <= 0) {
            continue;
        }
        for (pollfd &p : held) {
            char sink;
            if (p.fd >= 0 && p.revents != 0 && recv(p.fd, &sink, 1, MSG_DONTWAIT) <= 0) {
                close(p.fd);
                p.fd = -1;
            }
        }
    }
}

Churner::~Churner()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Exchange(const std::string &name, const std::string &bytes)
{
    const int fd = Connect(name);
    if (fd < 0) {
        return {};
    }
    std::string response;
    if (SendAll(fd, bytes)) {
        response = ReceiveAll(fd);
    }
    close(fd);
    return response;
}

std::string ResponseFor(const std::string &plain)
{
    const uint32_t wire = htonl(static_cast<uint32_t>(plain.size()));
    std::string head(64, '\0');
    std::memcpy(head.data(), &wire, 4);
    return head + plain;
}

int RequestCount(int fallback)
{
    const char *v = std::getenv("ZORVA_LOAD_REQUESTS");
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : fallback;
}

} // namespace load
