// Process helpers for the end-to-end tests: run a program and collect its
// output, keep a daemon running with its console in files, and talk to it
// over the abstract socket from a child that runs as a given user id.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../support/sanitized.h"

namespace e2e {

// True in AddressSanitizer and ThreadSanitizer builds (support/sanitized.h).
using testsupport::kSanitized;

std::string BinPath(const std::string &program);
std::string ReadFile(const std::string &path);
// True when /etc is the throw-away overlay of tests/isolated.sh: tests that
// write the fixed key-store paths refuse to run anywhere else.
bool Isolated();
#define REQUIRE_ISOLATION()                                                        \
    do {                                                                           \
        if (!::e2e::Isolated()) {                                                  \
            GTEST_SKIP() << "run through tests/isolated.sh (private /etc needed)"; \
        }                                                                          \
    } while (0)
// A server of the daemon's shape without the decryption, for the benchmarks'
// bare-connection floor: accept, read the head and the data, send a 64-byte
// head and 32 bytes, close; one connection after another, for ever.
[[noreturn]] void FloorServer(int listenFd);

struct Outcome {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    double seconds = 0;
};

struct ExchangeOptions;

struct RunOptions {
    std::map<std::string, std::optional<std::string>> env; // nullopt removes a variable
    uint32_t uid = 0;                                     // switched to (group too) unless 0
    std::string stdinText;
};

Outcome RunProgram(const std::vector<std::string> &argv, const RunOptions &options = RunOptions());

// Shorthands for the options.
RunOptions WithEnv(std::map<std::string, std::optional<std::string>> env, uint32_t uid = 0, std::string stdinText = "");
ExchangeOptions AsUser(uint32_t uid);
ExchangeOptions SilentFor(std::chrono::milliseconds pause); // connect, wait, then send
ExchangeOptions SendingNothing();

// The daemon, started with DS_MINIO_UDS_NAME set to socketName (or unset),
// in a fresh empty working folder, its standard output and error in files.
class Daemon {
public:
    explicit Daemon(std::optional<std::string> socketName, std::vector<std::string> args = {});
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    bool WaitListening();             // true once the abstract name accepts connections
    std::optional<int> WaitExit(std::chrono::milliseconds limit);
    std::string Out() const { return ReadFile(outPath_); }
    std::string Err() const { return ReadFile(errPath_); }
    const std::string &WorkDir() const { return workDir_; }
    bool Running() const;
    int Pid() const { return pid_; }

private:
    std::optional<std::string> name_;
    std::string workDir_, outPath_, errPath_;
    int pid_ = -1;
    bool reaped_ = false;
};

// True when any writable mapping of process pid holds needle.
bool MemoryHolds(int pid, const std::string &needle);

// True when the abstract name (without its leading NUL) is bound.
bool AbstractNameBound(const std::string &abstractName);
// Bound and listening, so a connect now is accepted.
bool AbstractNameListening(const std::string &abstractName);

struct Exchange {
    bool connected = false;
    std::string response; // everything received until the daemon closed
    double seconds = 0;   // from connect to end of stream
};

struct ExchangeOptions {
    uint32_t uid = 1000;
    std::chrono::milliseconds pauseBeforeSend{0}; // connected but silent meanwhile
    bool sendNothing = false;                     // connect and wait for the close
};

// Connects to the abstract address "\0" + abstractName as uid (from a
// forked child), writes request in one write and reads until end of stream.
Exchange Talk(const std::string &abstractName, const std::string &request, const ExchangeOptions &options = ExchangeOptions());

// A request frame: 64 zero bytes of head, then the data.
std::string Frame(const std::string &data);
// The daemon's answer carrying plain: a 64-byte head whose first four bytes
// are the length, big-endian, then plain.
std::string Response(const std::string &plain);

// The fixed key-store paths (throw-away under tests/isolated.sh).
inline const std::string kPrimary = "/etc/zorvm_primary_file.dat";
inline const std::string kStandby = "/etc/zorvm_standby_file.dat";
void RemoveKeyStore();
// zorvm_keytool command on the store at the fixed paths, then options.
Outcome Keytool(const std::string &command, const std::vector<std::string> &options = {});
// encrypt_tool run on secret, passed through the environment.
Outcome Encrypt(const std::string &secret);

} // namespace e2e
