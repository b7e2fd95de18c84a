#include "usage_format.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace usage {
namespace {

constexpr std::string_view kMagic = "zorva-key-usage 1";

// One decimal number without a leading zero (other than "0" itself), at
// most max.
bool Number(std::string_view word, std::uint64_t max, std::uint64_t &out)
{
    if (word.empty() || (word.size() > 1 && word[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), out);
    return error == std::errc() && end == word.data() + word.size() && out <= max;
}

// Splits line at single spaces into exactly words.size() words.
bool Words(std::string_view line, std::span<std::string_view> words)
{
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto space = line.find(' ');
        const bool last = i + 1 == words.size();
        if (last != (space == std::string_view::npos)) {
            return false;
        }
        words[i] = line.substr(0, space);
        line.remove_prefix(last ? line.size() : space + 1);
    }
    return true;
}

constexpr std::uint64_t kMaxTime = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::string ParseEntry(std::string_view line, Entry &e)
{
    std::string_view w[6];
    std::uint64_t v[6] = {};
    constexpr std::uint64_t kMax[6] = {kMax32, kMax32, kMax64, kMaxTime, kMax64, kMaxTime};
    if (!Words(line, w)) {
        return "not six numbers";
    }
    for (int i = 0; i < 6; ++i) {
        if (!Number(w[i], kMax[i], v[i])) {
            return "not six numbers";
        }
    }
    e = Entry{static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1]), v[2],
              static_cast<std::int64_t>(v[3]), v[4], static_cast<std::int64_t>(v[5])};
    return e.keyId == 0 ? "key id 0" : "";
}

bool Before(const Entry &a, const Entry &b) { return a.domain != b.domain ? a.domain < b.domain : a.keyId < b.keyId; }

std::string Damaged(std::size_t line, const char *why) { return "line " + std::to_string(line) + ": " + why; }

} // namespace

std::string Parse(std::string_view text, Record &out)
{
    out = Record();
    if (text.size() > kMaxBytes) {
        return "longer than " + std::to_string(kMaxBytes) + " bytes";
    }
    if (!text.empty() && text.back() != '\n') {
        return "the last line is cut off";
    }
    std::size_t number = 0;
    std::string why;
    while (!text.empty() && why.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        ++number;
        std::uint64_t written = 0;
        if (number == 1) {
            why = line == kMagic ? "" : Damaged(number, "not a key usage record of format 1");
        } else if (number == 2) {
            why = line.starts_with("written ") && Number(line.substr(8), kMaxTime, written)
                      ? ""
                      : Damaged(number, "no time written");
            out.written = static_cast<std::int64_t>(written);
        } else if (out.entries.size() == kMaxEntries) {
            why = Damaged(number, "more keys than a record holds");
        } else {
            Entry e;
            const std::string bad = ParseEntry(line, e);
            if (!bad.empty()) {
                why = Damaged(number, bad.c_str());
            } else if (!out.entries.empty() && !Before(out.entries.back(), e)) {
                why = Damaged(number, "keys out of order or repeated");
            } else {
                out.entries.push_back(e);
            }
        }
    }
    if (why.empty() && number < 2) {
        why = "too short";
    }
    if (!why.empty()) {
        out = Record();
    }
    return why;
}

std::string Format(Record record)
{
    std::sort(record.entries.begin(), record.entries.end(), Before);
    std::string text;
    text.reserve(40 + record.entries.size() * 48);
    text.append(kMagic).append("\nwritten ").append(std::to_string(record.written)).append("\n");
    for (const Entry &e : record.entries) {
        text.append(std::to_string(e.domain)).append(" ").append(std::to_string(e.keyId)).append(" ");
        text.append(std::to_string(e.answered)).append(" ").append(std::to_string(e.lastAnswered)).append(" ");
        text.append(std::to_string(e.refused)).append(" ").append(std::to_string(e.lastRefused)).append("\n");
    }
    return text;
}

ReadStatus ReadFileAt(int dirFd, const char *name, Record &out, std::string &why)
{
    out = Record();
    const int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return ReadStatus::missing;
        }
        why = errno == ELOOP ? "a symbolic link" : std::string("cannot be opened: ") + std::strerror(errno);
        return ReadStatus::damaged;
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxBytes) {
        why = "longer than " + std::to_string(kMaxBytes) + " bytes";
    } else {
        text.resize(static_cast<std::size_t>(st.st_size) + 1); // one more: a file that grew is noticed
        std::size_t got = 0;
        for (ssize_t n = 0; got < text.size(); got += static_cast<std::size_t>(n)) {
            n = read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) {
                n = 0;
                continue;
            }
            if (n <= 0) {
                if (n < 0) {
                    why = std::string("cannot be read: ") + std::strerror(errno);
                }
                break;
            }
        }
        text.resize(got);
        if (why.empty()) {
            why = Parse(text, out);
        }
    }
    (void)close(fd);
    return why.empty() ? ReadStatus::ok : ReadStatus::damaged;
}

} // namespace usage
