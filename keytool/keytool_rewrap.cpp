// rewrap: cipher texts from standard input, one a line, re-encrypted under
// their domain's active key to standard output, in the same order. The keys
// are those of the store, loaded in this process as the agent loads them,
// and the data-protection library does the work; each plain text lives in
// one buffer of this process and is wiped once its line is done. A line
// that cannot be rewrapped is written as it came and reported with its
// number and cause; nothing is lost.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "crypto/secret.h"
#include "keytool.h"
#include "mur.h"
#include "zorv.h"
#include "zorv_keys.h"

namespace keytool {
namespace {

constexpr std::string_view kPrefix = "cipher_text:";
// A longer line is passed through unread: no cipher text of the agent is
// this long, and the tool's memory stays bounded.
constexpr std::size_t kMaxLine = 1u << 20;
constexpr std::size_t kOutputChunk = 1u << 16;

bool IsBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0) {
        return false;
    }
    std::size_t pad = 0;
    while (pad < 2 && text[text.size() - 1 - pad] == '=') {
        ++pad;
    }
    for (std::size_t i = 0; i < text.size() - pad; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/')) {
            return false;
        }
    }
    return true;
}

// Standard output in large writes; false once a write failed.
class Output {
public:
    ~Output() { Flush(); }
    void Add(std::string_view text)
    {
        buffer_.append(text);
        if (buffer_.size() >= kOutputChunk) {
            Flush();
        }
    }
    bool Flush()
    {
        for (std::size_t done = 0; ok_ && done < buffer_.size();) {
            const ssize_t n = write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok_ = false;
                error_ = errno;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        buffer_.clear();
        return ok_;
    }
    bool ok() const { return ok_; }
    int error() const { return error_; }

private:
    std::string buffer_;
    bool ok_ = true;
    int error_ = 0;
};

// Standard input line by line; a line beyond kMaxLine is handed on in parts
// (overlong set).
class Input {
public:
    // The next line without its newline; false at the end. newline: it had one.
    bool Next(std::string &line, bool &newline, bool &overlong, Output &out)
    {
        line.clear();
        overlong = false;
        for (;;) {
            if (at_ == size_ && !Fill()) {
                newline = false;
                return !line.empty() || overlong;
            }
            const char *start = buffer_.data() + at_;
            const void *nl = std::memchr(start, '\n', size_ - at_);
            const std::size_t take = nl != nullptr ? static_cast<const char *>(nl) - start : size_ - at_;
            if (!overlong && line.size() + take > kMaxLine) {
                overlong = true;
                out.Add(line);
                line.clear();
            }
            if (overlong) {
                out.Add(std::string_view(start, take));
            } else {
                line.append(start, take);
            }
            at_ += take;
            if (nl != nullptr) {
                ++at_;
                newline = true;
                return true;
            }
        }
    }
    bool failed() const { return failed_; }

private:
    bool Fill()
    {
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            failed_ = n < 0;
            at_ = 0;
            size_ = n > 0 ? static_cast<std::size_t>(n) : 0;
            return n > 0;
        }
    }

    std::array<char, 1 << 16> buffer_{};
    std::size_t at_ = 0, size_ = 0;
    bool failed_ = false;
};

class Rewrapper {
public:
    Rewrapper() = default;
    ~Rewrapper()
    {
        QintKeyTableReleaseEx(table_);
        zorv::Wipe(plain_.data(), plain_.size());
    }
    Rewrapper(const Rewrapper &) = delete;
    Rewrapper &operator=(const Rewrapper &) = delete;

    std::uint64_t Open() { return QintKeyTableAcquireEx(&table_); }

    // The rewrapped Base64 text into out, or out = text when its key is the
    // active one already. "" or why the text cannot be rewrapped.
    std::string Rewrap(std::string_view text, std::string &out, bool &same);

private:
    std::string Cause(std::uint64_t rc, std::uint32_t domain, std::uint32_t keyId) const;

    const QintKeyTable *table_ = nullptr;
    std::string raw_;          // the cipher text's bytes (not secret)
    zorv::SecretBytes plain_;  // wiped after every line and at the end
    std::string cipher_;
};

std::string Rewrapper::Cause(std::uint64_t rc, std::uint32_t domain, std::uint32_t keyId) const
{
    const std::string key = "key " + std::to_string(keyId) + " of domain " + std::to_string(domain);
    switch (rc) {
    case MUR_ERR_MALFORMED:
    case MUR_ERR_BAD_ALGORITHM:
        return "not a cipher text (its header is malformed)";
    case MUR_ERR_UNKNOWN_DOMAIN:
        return "unknown domain " + std::to_string(domain);
    case MUR_ERR_UNKNOWN_KEY_ID:
        return "unknown key: " + key + " is not in the key store (pruned, or a cipher text of another store)";
    case MUR_ERR_KEY_DISABLED:
        return "key disabled: " + key + " (enable it to rewrap)";
    case MUR_ERR_AUTH_FAILED:
        return "authentication failed (damaged or tampered cipher text)";
    default:
        return "the data-protection library failed (" + std::to_string(rc) + ")";
    }
}

std::uint32_t Le32(const std::string &b, std::size_t at)
{
    return static_cast<std::uint8_t>(b[at]) | std::uint32_t{static_cast<std::uint8_t>(b[at + 1])} << 8 |
           std::uint32_t{static_cast<std::uint8_t>(b[at + 2])} << 16 |
           std::uint32_t{static_cast<std::uint8_t>(b[at + 3])} << 24;
}

std::string Rewrapper::Rewrap(std::string_view text, std::string &out, bool &same)
{
    if (!IsBase64(text) || text.size() > kMaxLine) {
        return "not a cipher text (not Base64)";
    }
    raw_.resize(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw_.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    const std::size_t pad = (text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
    if (n < 0 || static_cast<std::size_t>(n) < pad + MUR_CIPHER_OVERHEAD) {
        return "not a cipher text (too short)";
    }
    raw_.resize(static_cast<std::size_t>(n) - pad);
    const std::uint32_t domain = Le32(raw_, 4);
    const std::uint32_t keyId = Le32(raw_, 8);
    const auto rawLen = static_cast<std::uint32_t>(raw_.size());
    std::uint32_t plainLen = rawLen - MUR_CIPHER_OVERHEAD;
    if (plain_.size() < plainLen + 1) {
        zorv::Wipe(plain_.data(), plain_.size());
        plain_.resize(plainLen + 1);
    }
    const auto *cipher = reinterpret_cast<const unsigned char *>(raw_.data());
    if (const std::uint64_t rc = MurDecryptEx(domain, cipher, rawLen, plain_.data(), &plainLen); rc != 0) {
        return Cause(rc, domain, keyId);
    }
    const zorv::ScopedCleanse wipe(plain_.data(), plainLen);
    QintKeyRef active{};
    if (const std::uint64_t rc = QintKeyLookupEx(table_, domain, QINT_ACTIVE_KEY, &active); rc != 0) {
        return std::string("the key store failed: ") + QintErrorTextEx(rc);
    }
    if (active.keyId == keyId) {
        same = true;
        out.assign(text);
        return {};
    }
    same = false;
    std::uint32_t cipherLen = plainLen + MUR_CIPHER_OVERHEAD;
    cipher_.resize(cipherLen);
    if (const std::uint64_t rc = MurEncryptEx(domain, MUR_ALG_AES256_GCM, plain_.data(), plainLen,
                                              reinterpret_cast<unsigned char *>(cipher_.data()), &cipherLen);
        rc != 0) {
        return Cause(rc, domain, active.keyId);
    }
    out.resize((cipherLen + 2) / 3 * 4 + 1);
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                        reinterpret_cast<const unsigned char *>(cipher_.data()),
                                        static_cast<int>(cipherLen));
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return {};
}

struct Counts {
    std::uint64_t lines = 0, rewrapped = 0, current = 0, refused = 0;
};

// One line through the rewrapper onto out; false when it was reported.
bool RewrapLine(Rewrapper &rewrapper, std::string_view line, std::uint64_t number, Counts &counts, Output &out)
{
    std::string_view text = line;
    const bool cr = !text.empty() && text.back() == '\r';
    if (cr) {
        text.remove_suffix(1);
    }
    const bool prefixed = text.starts_with(kPrefix);
    if (prefixed) {
        text.remove_prefix(kPrefix.size());
    }
    std::string rewrapped;
    bool same = false;
    const std::string why = rewrapper.Rewrap(text, rewrapped, same);
    if (!why.empty()) {
        out.Add(line);
        std::fprintf(stderr, "zorvm_keytool: rewrap: line %" PRIu64 ": %s\n", number, why.c_str());
        ++counts.refused;
        return false;
    }
    ++(same ? counts.current : counts.rewrapped);
    out.Add(prefixed ? kPrefix : std::string_view());
    out.Add(rewrapped);
    out.Add(cr ? "\r" : "");
    return true;
}

} // namespace

int Rewrap(const Options &o)
{
    const QintKeyFileName names{o.primary.c_str(), o.standby.c_str(), nullptr};
    const std::uint64_t load = QintInitializeEx(0, &names, 0, nullptr);
    if (load != 0 && load != QINT_LOADED_RESTORED) {
        QintAdminReport r{};
        return Fail(o, load, r);
    }
    int status = kExitOk;
    {
        Rewrapper rewrapper;
        if (const std::uint64_t rc = rewrapper.Open(); rc != 0) {
            QintAdminReport r{};
            (void)QintFinalizeEx();
            return Fail(o, rc, r);
        }
        Input in;
        Output out;
        Counts counts;
        std::string line;
        bool newline = false, overlong = false;
        while (out.ok() && in.Next(line, newline, overlong, out)) {
            ++counts.lines;
            if (overlong) {
                std::fprintf(stderr, "zorvm_keytool: rewrap: line %" PRIu64 ": not a cipher text (longer than %zu "
                                     "bytes)\n", counts.lines, kMaxLine);
                ++counts.refused;
            } else if (!line.empty() && line != "\r") {
                RewrapLine(rewrapper, line, counts.lines, counts, out);
            } else {
                out.Add(line); // an empty line stays one
            }
            out.Add(newline ? "\n" : "");
        }
        if (!out.Flush()) {
            std::fprintf(stderr, "zorvm_keytool: rewrap: standard output: %s\n", std::strerror(out.error()));
            status = kExitFailure;
        } else if (in.failed()) {
            std::fprintf(stderr, "zorvm_keytool: rewrap: standard input: %s\n", std::strerror(errno));
            status = kExitFailure;
        }
        if (status == kExitOk) {
            std::fprintf(stderr, "zorvm_keytool: rewrap: %" PRIu64 " rewrapped, %" PRIu64 " under the active key "
                                 "already, %" PRIu64 " left as they were\n",
                         counts.rewrapped, counts.current, counts.refused);
            status = counts.refused == 0 ? kExitOk : kExitFailure;
        }
    }
    (void)QintFinalizeEx();
    return status;
}

} // namespace keytool
