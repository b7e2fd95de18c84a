// One JSON text built in order: objects, arrays, and values with their
// separators. Strings are written as UTF-8 with '"', '\' and control
// characters escaped; a byte that is not part of valid UTF-8 (a file name
// may hold any byte) becomes U+FFFD. The text has no line breaks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keytool {

class JsonWriter {
public:
    JsonWriter &BeginObject() { return Open('{'); }
    JsonWriter &EndObject() { return Close('}'); }
    JsonWriter &BeginArray() { return Open('['); }
    JsonWriter &EndArray() { return Close(']'); }
    // The name of the next member of the object open now.
    JsonWriter &Key(std::string_view name);

    JsonWriter &String(std::string_view text);
    JsonWriter &Number(std::int64_t n);
    JsonWriter &Unsigned(std::uint64_t n);
    JsonWriter &Bool(bool b);
    JsonWriter &Null();

    // A member: Key(name) and its value.
    template <typename T>
    JsonWriter &Field(std::string_view name, const T &value)
    {
        Key(name);
        return Value(value);
    }

    const std::string &Text() const { return out_; }

private:
    JsonWriter &Open(char bracket);
    JsonWriter &Close(char bracket);
    void BeforeValue();
    JsonWriter &Value(std::string_view s) { return String(s); }
    JsonWriter &Value(const std::string &s) { return String(s); }
    JsonWriter &Value(const char *s) { return s != nullptr ? String(s) : Null(); }
    JsonWriter &Value(bool b) { return Bool(b); }
    JsonWriter &Value(std::uint32_t n) { return Unsigned(n); }
    JsonWriter &Value(std::uint64_t n) { return Unsigned(n); }
    JsonWriter &Value(std::int64_t n) { return Number(n); }
    JsonWriter &Value(int n) { return Number(n); }

    std::string out_;
    std::vector<bool> empty_; // per open container: nothing in it yet
    bool afterKey_ = false;
};

} // namespace keytool
