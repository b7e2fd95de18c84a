#include "processes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string TempPath(const char *stem)
{
    std::string pattern = std::string("/tmp/zorva-e2e-") + stem + ".XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) {
        close(fd);
    }
    return pattern;
}

void SwitchUser(uint32_t uid)
{
    if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
        _exit(121);
    }
}

std::vector<char *> Pointers(std::vector<std::string> &words)
{
    std::vector<char *> out;
    for (auto &w : words) {
        out.push_back(w.data());
    }
    out.push_back(nullptr);
    return out;
}

int StatusOf(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

void ApplyEnv(const std::map<std::string, std::optional<std::string>> &env)
{
    for (const auto &[name, value] : env) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

} // namespace

std::string BinPath(const std::string &program) { return std::string(ZORVA_BIN_DIR) + "/" + program; }

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Isolated()
{
    std::istringstream mounts(ReadFile("/proc/self/mountinfo"));
    for (std::string line; std::getline(mounts, line);) {
        if (line.find(" /etc ") != std::string::npos && line.find("zorva-etc") != std::string::npos) {
            return true;
        }
    }
    return false;
}

void FloorServer(int listenFd)
{
    std::string reply(64 + 32, 'r');
    const uint32_t wire = htonl(32);
    memcpy(reply.data(), &wire, 4);
    memset(reply.data() + 4, 0, 60);
    char buf[2048];
    for (;;) {
        const int conn = accept(listenFd, nullptr, nullptr);
        if (conn < 0) {
            continue;
        }
        struct ucred peer {};
        socklen_t peerLen = sizeof(peer);
        (void)getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen);
        (void)recv(conn, buf, 64, MSG_NOSIGNAL);
        (void)recv(conn, buf, sizeof(buf), MSG_NOSIGNAL);
        (void)send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(conn);
    }
}

Outcome RunProgram(const std::vector<std::string> &argv, const RunOptions &options)
{
    const std::string outPath = TempPath("out"), errPath = TempPath("err"), inPath = TempPath("in");
    {
        std::ofstream in(inPath, std::ios::binary);
        in << options.stdinText;
    }
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(inPath.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        ApplyEnv(options.env);
        SwitchUser(options.uid);
        std::vector<std::string> words = argv;
        execv(words[0].c_str(), Pointers(words).data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Outcome outcome{StatusOf(wstatus), ReadFile(outPath), ReadFile(errPath), Since(start)};
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    unlink(inPath.c_str());
    return outcome;
}

Daemon::Daemon(std::optional<std::string> socketName, std::vector<std::string> args) : name_(std::move(socketName))
{
    char dir[] = "/tmp/zorva-e2e-cwd.XXXXXX";
    workDir_ = mkdtemp(dir);
    outPath_ = TempPath("daemon-out");
    errPath_ = TempPath("daemon-err");
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (chdir(workDir_.c_str()) != 0) {
            _exit(126);
        }
        ApplyEnv({{"DS_MINIO_UDS_NAME", name_}});
        std::vector<std::string> words{BinPath("uds_decrypt_server")};
        words.insert(words.end(), args.begin(), args.end());
        execv(words[0].c_str(), Pointers(words).data());
        _exit(127);
    }
}

Daemon::~Daemon()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
    rmdir(workDir_.c_str());
}

bool Daemon::Running() const { return !reaped_ && pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

bool Daemon::WaitListening()
{
    if (!name_ || name_->empty()) {
        return false;
    }
    const std::string abstractName = name_->substr(1);
    for (int i = 0; i < 500; ++i) {
        if (AbstractNameListening(abstractName)) {
            return true;
        }
        if (!Running()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::optional<int> Daemon::WaitExit(std::chrono::milliseconds limit)
{
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        int wstatus = 0;
        if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
            reaped_ = true;
            return StatusOf(wstatus);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

bool MemoryHolds(int pid, const std::string &needle)
{
    constexpr unsigned long kLargestRegion = 1UL << 32;
    constexpr unsigned long kChunk = 1UL << 20;
    const std::string base = "/proc/" + std::to_string(pid);
    const int mem = open((base + "/mem").c_str(), O_RDONLY);
    if (mem < 0) {
        return false;
    }
    std::istringstream maps(ReadFile(base + "/maps"));
    bool found = false;
    for (std::string line; !found && std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' || perms[1] != 'w') {
            continue;
        }
        // Sanitizer builds map terabytes of shadow memory; no program data
        // lives there.
        if (end - start > kLargestRegion) {
            continue;
        }
        // Read in chunks that overlap by the needle's length, so a copy
        // across a chunk boundary is still found.
        std::string chunk(kChunk + needle.size(), '\0');
        for (unsigned long at = start; !found && at < end; at += kChunk) {
            const size_t want = static_cast<size_t>(std::min<unsigned long>(end - at, chunk.size()));
            const ssize_t n = pread(mem, chunk.data(), want, static_cast<off_t>(at));
            found = n > 0 && std::string_view(chunk.data(), static_cast<size_t>(n)).find(needle) != std::string_view::npos;
        }
    }
    close(mem);
    return found;
}

namespace {

// The line of /proc/net/unix for an abstract name, or an empty string.
std::string UnixSocketLine(const std::string &abstractName)
{
    // Abstract names show with '@' for the leading NUL.
    std::istringstream table(ReadFile("/proc/net/unix"));
    const std::string wanted = " @" + abstractName;
    for (std::string line; std::getline(table, line);) {
        if (line.size() >= wanted.size() && line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0) {
            return line;
        }
    }
    return "";
}

} // namespace

bool AbstractNameBound(const std::string &abstractName) { return !UnixSocketLine(abstractName).empty(); }

bool AbstractNameListening(const std::string &abstractName)
{
    // Columns: Num RefCount Protocol Flags ... A socket is bound before it
    // listens; only a listening one carries the accept flag (0x10000).
    constexpr unsigned long kAcceptsConnections = 0x10000;
    std::istringstream fields(UnixSocketLine(abstractName));
    std::string num, refCount, protocol;
    unsigned long flags = 0;
    return static_cast<bool>(fields >> num >> refCount >> protocol >> std::hex >> flags) &&
           (flags & kAcceptsConnections) != 0;
}

RunOptions WithEnv(std::map<std::string, std::optional<std::string>> env, uint32_t uid, std::string stdinText)
{
    RunOptions options;
    options.env = std::move(env);
    options.uid = uid;
    options.stdinText = std::move(stdinText);
    return options;
}

ExchangeOptions AsUser(uint32_t uid)
{
    ExchangeOptions options;
    options.uid = uid;
    return options;
}

ExchangeOptions SilentFor(std::chrono::milliseconds pause)
{
    ExchangeOptions options;
    options.pauseBeforeSend = pause;
    return options;
}

ExchangeOptions SendingNothing()
{
    ExchangeOptions options;
    options.sendNothing = true;
    return options;
}

std::string Frame(const std::string &data) { return std::string(64, '\0') + data; }

std::string Response(const std::string &plain)
{
    const uint32_t wire = htonl(static_cast<uint32_t>(plain.size()));
    std::string head(64, '\0');
    memcpy(head.data(), &wire, 4);
    return head + plain;
}

void RemoveKeyStore()
{
    unlink(kPrimary.c_str());
    unlink(kStandby.c_str());
}

Outcome Keytool(const std::string &command, const std::vector<std::string> &options)
{
    std::vector<std::string> argv{BinPath("zorvm_keytool"), command, "--primary", kPrimary, "--standby", kStandby};
    argv.insert(argv.end(), options.begin(), options.end());
    return RunProgram(argv);
}

Outcome Encrypt(const std::string &secret)
{
    return RunProgram({BinPath("encrypt_tool"), "encrpyt", "E2E_SECRET"}, WithEnv({{"E2E_SECRET", secret}}));
}

Exchange Talk(const std::string &abstractName, const std::string &request, const ExchangeOptions &options)
{
    int channel[2];
    if (pipe(channel) != 0) {
        return {};
    }
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        SwitchUser(options.uid);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path + 1, abstractName.data(), abstractName.size());
        const auto len = static_cast<socklen_t>(sizeof(addr.sun_family) + 1 + abstractName.size());
        const char connected = connect(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0 ? 1 : 0;
        (void)!write(channel[1], &connected, 1);
        if (connected) {
            std::this_thread::sleep_for(options.pauseBeforeSend);
            if (!options.sendNothing) {
                (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            }
            char chunk[4096];
            for (ssize_t n; (n = recv(fd, chunk, sizeof(chunk), 0)) > 0;) {
                (void)!write(channel[1], chunk, static_cast<size_t>(n));
            }
        }
        _exit(0);
    }
    close(channel[1]);
    Exchange exchange;
    char flag = 0;
    if (read(channel[0], &flag, 1) == 1) {
        exchange.connected = flag == 1;
    }
    char chunk[4096];
    for (ssize_t n; (n = read(channel[0], chunk, sizeof(chunk))) > 0;) {
        exchange.response.append(chunk, static_cast<size_t>(n));
    }
    close(channel[0]);
    waitpid(pid, nullptr, 0);
    exchange.seconds = Since(start);
    return exchange;
}

} // namespace e2e
