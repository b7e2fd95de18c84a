// Test support: a throw-away software TPM 2.0 (swtpm) on a Unix socket, and the
// few ESAPI calls tests make against it directly.
//
// Each instance gets its own folder (0700) holding its state, so its own
// owner seed: a blob sealed on one does not open on another; and its Unix
// sockets, the TPM's S and the control channel's S.ctrl, which is where the
// tss2 swtpm transport looks for it. It is stopped and its folder removed
// with the object. swtpm runs natively even when the test itself runs under
// qemu-user; the two meet at the socket.
#pragma once

#include <string>

namespace zorva_test {

class Swtpm {
public:
    // Starts swtpm and waits until its control channel answers. On failure
    // Ready() is false and Error() says why (missing program, the process
    // exited early or never answered, with the tail of its log).
    Swtpm();
    ~Swtpm();
    Swtpm(const Swtpm &) = delete;
    Swtpm &operator=(const Swtpm &) = delete;

    bool Ready() const { return pid_ > 0; }
    const std::string &Error() const { return error_; }
    // The TCTI configuration for ZORVA_TPM2_TCTI.
    std::string Tcti() const;
    const std::string &SocketPath() const { return socket_; }

    // Stops the process now (its socket then refuses connections); the
    // folder stays until the object goes.
    void Stop();

private:
    std::string dir_;
    std::string socket_;
    std::string error_;
    int pid_ = -1;
};

// True when an swtpm program is on PATH.
bool SwtpmInstalled();

// Sets ZORVA_TPM2_TCTI for the scope and restores what was there before.
class ScopedTcti {
public:
    explicit ScopedTcti(const std::string &tcti);
    ~ScopedTcti();
    ScopedTcti(const ScopedTcti &) = delete;
    ScopedTcti &operator=(const ScopedTcti &) = delete;

private:
    bool had_ = false;
    std::string previous_;
};

// Extends SHA-256 PCR pcr of the TPM at tcti with a fixed digest (from
// locality 0: PCRs 0..16 and 23); false with why on any failure.
bool ExtendPcr(const std::string &tcti, unsigned pcr, std::string &why);

// The number of transient objects and loaded sessions in the TPM at tcti
// (a connection straight to swtpm has no resource manager to flush them);
// -1 with why when the TPM cannot be asked.
int LoadedHandles(const std::string &tcti, std::string &why);

} // namespace zorva_test
