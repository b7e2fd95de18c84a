#include "swtpm_instance.h"

#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace zorva_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(15);

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The control channel's CMD_GET_CAPABILITY answers with a zero result code
// once swtpm serves requests.
bool ControlAnswers(const std::string &path)
{
    Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (s.get() < 0 || path.size() >= sizeof(a.sun_path)) {
        return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (connect(s.get(), reinterpret_cast<const sockaddr *>(&a), sizeof(a)) != 0) {
        return false;
    }
    const std::array<unsigned char, 4> getCapability{0, 0, 0, 1};
    if (send(s.get(), getCapability.data(), getCapability.size(), MSG_NOSIGNAL) != 4) {
        return false;
    }
    std::array<unsigned char, 8> answer{};
    std::size_t got = 0;
    while (got < answer.size()) {
        pollfd p{s.get(), POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) {
            return false;
        }
        const ssize_t n = recv(s.get(), answer.data() + got, answer.size() - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return answer[0] == 0 && answer[1] == 0 && answer[2] == 0 && answer[3] == 0;
}

std::string Tail(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

} // namespace

bool SwtpmInstalled()
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && access((dir + "/swtpm").c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

Swtpm::Swtpm()
{
    if (!SwtpmInstalled()) {
        error_ = "swtpm is not installed";
        return;
    }
    std::string pattern = "/tmp/zorva-swtpm.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot make a folder for swtpm";
        return;
    }
    dir_ = pattern;
    socket_ = dir_ + "/tpm.sock";
    const std::string log = dir_ + "/swtpm.log";
    std::vector<std::string> args{"swtpm",    "socket",
                                  "--tpm2",   "--tpmstate",
                                  "dir=" + dir_ + ",mode=0600",
                                  "--server", "type=unixio,path=" + socket_ + ",mode=0600",
                                  "--ctrl",   "type=unixio,path=" + socket_ + ".ctrl,mode=0600",
                                  "--flags",  "not-need-init,startup-clear",
                                  "--log",    "file=" + log};
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error_ = "fork failed";
        return;
    }
    if (pid == 0) {
        // Dies with the test, even when the test is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(126);
        }
        const int quiet = open("/dev/null", O_RDWR);
        if (quiet >= 0) {
            dup2(quiet, STDIN_FILENO);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }

    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            error_ = "swtpm exited at start (status " + std::to_string(status) + "): " + Tail(log);
            return;
        }
        if (ControlAnswers(socket_ + ".ctrl")) {
            pid_ = pid;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    error_ = "swtpm did not answer within 15 s: " + Tail(log);
}

Swtpm::~Swtpm()
{
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string Swtpm::Tcti() const { return "swtpm:path=" + socket_; }

void Swtpm::Stop()
{
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

ScopedTcti::ScopedTcti(const std::string &tcti)
{
    if (const char *was = std::getenv("ZORVA_TPM2_TCTI")) {
        had_ = true;
        previous_ = was;
    }
    setenv("ZORVA_TPM2_TCTI", tcti.c_str(), 1);
}

ScopedTcti::~ScopedTcti()
{
    if (had_) {
        setenv("ZORVA_TPM2_TCTI", previous_.c_str(), 1);
    } else {
        unsetenv("ZORVA_TPM2_TCTI");
    }
}

namespace {

// Runs body(esys) on a fresh connection to the TPM at tcti; false with why
// when the connection or body's return code fails.
template <typename Body>
bool WithEsys(const std::string &tcti, std::string &why, Body &&body)
{
    TSS2_TCTI_CONTEXT *transport = nullptr;
    ESYS_CONTEXT *esys = nullptr;
    TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti.c_str(), &transport);
    if (rc == TSS2_RC_SUCCESS) {
        rc = Esys_Initialize(&esys, transport, nullptr);
    }
    if (rc == TSS2_RC_SUCCESS) {
        rc = body(esys);
    }
    if (esys != nullptr) {
        Esys_Finalize(&esys);
    }
    if (transport != nullptr) {
        Tss2_TctiLdr_Finalize(&transport);
    }
    if (rc != TSS2_RC_SUCCESS) {
        std::stringstream text;
        text << "TSS code 0x" << std::hex << rc;
        why = text.str();
        return false;
    }
    return true;
}

} // namespace

bool ExtendPcr(const std::string &tcti, unsigned pcr, std::string &why)
{
    if (pcr > 23) {
        why = "no such PCR";
        return false;
    }
    return WithEsys(tcti, why, [pcr](ESYS_CONTEXT *esys) {
        TPML_DIGEST_VALUES digests{};
        digests.count = 1;
        digests.digests[0].hashAlg = TPM2_ALG_SHA256;
        std::memset(digests.digests[0].digest.sha256, 0x5A, TPM2_SHA256_DIGEST_SIZE);
        return Esys_PCR_Extend(esys, ESYS_TR_PCR0 + pcr, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &digests);
    });
}

int LoadedHandles(const std::string &tcti, std::string &why)
{
    int count = 0;
    const bool ok = WithEsys(tcti, why, [&count](ESYS_CONTEXT *esys) {
        for (const TPM2_HC first : {TPM2_TRANSIENT_FIRST, TPM2_LOADED_SESSION_FIRST}) {
            TPMI_YES_NO more = TPM2_NO;
            TPMS_CAPABILITY_DATA *data = nullptr;
            const TSS2_RC rc = Esys_GetCapability(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_HANDLES,
                                                  first, TPM2_MAX_CAP_HANDLES, &more, &data);
            if (rc != TSS2_RC_SUCCESS) {
                return rc;
            }
            count += static_cast<int>(data->data.handles.count);
            Esys_Free(data);
        }
        return TSS2_RC_SUCCESS;
    });
    return ok ? count : -1;
}

} // namespace zorva_test
