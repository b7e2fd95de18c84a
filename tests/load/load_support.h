// Helpers of the load and leak tests: a daemon started with an optional
// command in front of it (valgrind), its memory and descriptors from /proc,
// client processes running as user id 1000 that send many requests, and
// cipher texts made with encrypt_tool.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace load {

// True when /etc is the throw-away overlay of tests/isolated.sh.
bool Isolated();

// zorvm_keytool COMMAND on the fixed /etc pair; its exit status.
int Keytool(const std::string &command);

struct Secret {
    std::string plain;
    std::string cipher; // Base64, as encrypt_tool prints it
};

// Secrets of several lengths (1 to 960 bytes) encrypted with encrypt_tool.
std::vector<Secret> MakeSecrets();

class Daemon {
public:
    // Runs prefix + uds_decrypt_server with DS_MINIO_UDS_NAME = "@" + name;
    // its console goes to files in a fresh folder.
    Daemon(const std::string &name, const std::vector<std::string> &prefix = {});
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    bool WaitListening();
    bool Running();
    // Ends it with SIGTERM and waits; the wait status.
    int Stop();
    pid_t pid() const { return pid_; }
    std::string Out() const;
    std::string Err() const;
    const std::string &name() const { return name_; }
    const std::string &dir() const { return dir_; }

private:
    std::string name_, dir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Resident memory (kB) and open descriptors of a process, from /proc.
struct Usage {
    long rssKb = -1;
    int fds = -1;
};
Usage UsageOf(pid_t pid);

// What a client process did.
struct Tally {
    int answered = 0;         // valid requests answered with the right frame
    int wrong = 0;            // valid requests answered wrongly or not at all
    int malformed = 0;        // malformed requests sent
    int malformedAnswered = 0; // ... that got any byte back (must stay 0)
    int idle = 0;             // idle connections the daemon closed
};

struct ClientPlan {
    std::string name;           // abstract socket name without "\0"
    int requests = 0;           // valid requests; 0 = until Client::Stop
    int malformedEvery = 0;     // one malformed request after every N valid ones; 0 = none
    int idleConnections = 0;    // connections that send nothing and wait for the close
    unsigned seed = 1;
};

// Starts a client process running as user id 1000. Collect it with Wait.
class Client {
public:
    Client(const ClientPlan &plan, const std::vector<Secret> &secrets);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    // Asks a client without a request count to finish (SIGUSR1).
    void Stop();
    Tally Wait();

private:
    pid_t pid_ = -1;
    int resultFd_ = -1;
};

// A process running as user id 1000 that keeps `connections` silent
// connections to the daemon open and opens a new one as soon as the daemon
// closes one: a peer trying to hold every place. Ends when destroyed.
class Churner {
public:
    Churner(const std::string &name, int connections);
    ~Churner();
    Churner(const Churner &) = delete;
    Churner &operator=(const Churner &) = delete;

private:
    pid_t pid_ = -1;
};

// One request over a fresh connection as the calling process: the bytes
// sent in one write, then everything received until the daemon closes.
std::string Exchange(const std::string &name, const std::string &bytes);

// The expected answer to plain.
std::string ResponseFor(const std::string &plain);

// How many requests a test makes: ZORVA_LOAD_REQUESTS when set, else fallback.
int RequestCount(int fallback);

} // namespace load
