// Runs a piece of code with standard output and standard error redirected to
// files, and hands back what each stream received. The streams are not
// flushed by the capture itself, so a line only shows up if the code under
// test pushed it out.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

struct Captured {
    std::string out;
    std::string err;
};

inline std::string ReadWhole(int fd)
{
    std::string text;
    char chunk[4096];
    (void)lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

template <typename Body>
Captured CaptureConsole(Body &&body)
{
    fflush(stdout);
    fflush(stderr);
    char outName[] = "/tmp/svc-out.XXXXXX";
    char errName[] = "/tmp/svc-err.XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    unlink(outName);
    unlink(errName);
    const int savedOut = dup(STDOUT_FILENO);
    const int savedErr = dup(STDERR_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    body();
    Captured result{ReadWhole(outFd), ReadWhole(errFd)}; // before any flush
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    close(outFd);
    close(errFd);
    return result;
}
