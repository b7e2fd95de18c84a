#include "json_writer.h"

#include <cstdio>

namespace keytool {
namespace {

// Length of the valid UTF-8 sequence at the start of s, 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view s)
{
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || n > s.size()) {
        return 0;
    }
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = cp >= kSmallest[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    return valid ? n : 0;
}

} // namespace

void JsonWriter::BeforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        out_ += empty_.back() ? "" : ",";
        empty_.back() = false;
    }
}

JsonWriter &JsonWriter::Open(char bracket)
{
    BeforeValue();
    out_ += bracket;
    empty_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::Close(char bracket)
{
    out_ += bracket;
    empty_.pop_back();
    return *this;
}

JsonWriter &JsonWriter::Key(std::string_view name)
{
    String(name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter &JsonWriter::String(std::string_view text)
{
    BeforeValue();
    out_ += '"';
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text[0]);
        const std::size_t n = Utf8Length(text);
        if (n == 0) {
            out_ += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c);
        } else if (c == '\n') {
            out_ += "\\n";
        } else if (c == '\t') {
            out_ += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out_ += escaped;
        } else {
            out_.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    out_ += '"';
    return *this;
}

JsonWriter &JsonWriter::Number(std::int64_t n)
{
    BeforeValue();
    out_ += std::to_string(n);
    return *this;
}

JsonWriter &JsonWriter::Unsigned(std::uint64_t n)
{
    BeforeValue();
    out_ += std::to_string(n);
    return *this;
}

JsonWriter &JsonWriter::Bool(bool b)
{
    BeforeValue();
    out_ += b ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::Null()
{
    BeforeValue();
    out_ += "null";
    return *this;
}

} // namespace keytool
