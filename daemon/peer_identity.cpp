#include "peer_identity.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace brim {

namespace {

// A stat line: the pid, the command name of at most 15 bytes in
// parentheses and 50 numbers; 1 KiB holds it all.
constexpr size_t kStatBytes = 1024;
constexpr int kStartTimeField = 22;

bool NeedsEscape(unsigned char c) { return c < 0x20 || c >= 0x7f || c == '{' || c == '}' || c == '\\'; }

} // namespace

uint64_t StartTimeOfStatLine(std::string_view line)
{
    const size_t close = line.rfind(')');
    if (close == std::string_view::npos) {
        return 0;
    }
    // Fields 3 (state) and on follow the ')' one space apart.
    std::string_view rest = line.substr(close + 1);
    for (int field = 3; field <= kStartTimeField; ++field) {
        if (rest.empty() || rest.front() != ' ') {
            return 0;
        }
        rest.remove_prefix(1);
        const size_t end = std::min(rest.find(' '), rest.size());
        if (field == kStartTimeField) {
            uint64_t value = 0;
            const std::string_view digits = rest.substr(0, end);
            if (digits.empty() || digits.size() > 20) {
                return 0;
            }
            for (const char c : digits) {
                if (c < '0' || c > '9' || value > (UINT64_MAX - static_cast<uint64_t>(c - '0')) / 10) {
                    return 0;
                }
                value = value * 10 + static_cast<uint64_t>(c - '0');
            }
            return value;
        }
        rest.remove_prefix(end);
    }
    return 0;
}

uint64_t ProcessStartTime(pid_t pid)
{
    if (pid <= 0) {
        return 0;
    }
    char path[32];
    (void)snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return 0;
    }
    char line[kStatBytes];
    ssize_t n;
    do {
        n = read(fd, line, sizeof(line));
    } while (n < 0 && errno == EINTR);
    (void)close(fd);
    return n > 0 ? StartTimeOfStatLine(std::string_view(line, static_cast<size_t>(n))) : 0;
}

void ProcessProgram(pid_t pid, std::span<char> out)
{
    char link[32];
    char target[PATH_MAX];
    (void)snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t n = pid > 0 ? readlink(link, target, sizeof(target)) : -1;
    EscapeForLog(n > 0 ? std::string_view(target, static_cast<size_t>(n)) : std::string_view("?"), out);
}

void EscapeForLog(std::string_view in, std::span<char> out)
{
    static constexpr char kHex[] = "0123456789abcdef";
    static constexpr std::string_view kCut = "...";
    size_t at = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        const size_t width = NeedsEscape(c) ? 4 : 1;
        // Room for this byte, and for the mark of a cut unless it is the last.
        const size_t needed = width + (i + 1 < in.size() ? kCut.size() : 0);
        if (at + needed + 1 > out.size()) {
            kCut.copy(out.data() + at, kCut.size());
            at += kCut.size();
            break;
        }
        if (width == 1) {
            out[at++] = static_cast<char>(c);
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = kHex[c >> 4];
            out[at++] = kHex[c & 0xf];
        }
    }
    out[at] = '\0';
}

} // namespace brim
