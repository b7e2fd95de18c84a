#include "protect/pkcs11/pkcs11_uri.h"

#include <array>
#include <cstddef>

namespace zorv::pkcs11 {
namespace {

constexpr std::string_view kScheme = "pkcs11:";
constexpr std::size_t kMaxUri = 4096;

enum class Attr { token, manufacturer, model, serial, object, id, type, pinSource, pinValue, modulePath, count };

struct AttrSpec {
    std::string_view name;
    Attr attr;
    bool inQuery;
    std::size_t maxLen; // decoded bytes
};

// Token labels and the other token fields are fixed 32- or 16-byte fields.
constexpr std::array<AttrSpec, 10> kAttrs{{
    {"token", Attr::token, false, 32},
    {"manufacturer", Attr::manufacturer, false, 32},
    {"model", Attr::model, false, 16},
    {"serial", Attr::serial, false, 16},
    {"object", Attr::object, false, 256},
    {"id", Attr::id, false, 256},
    {"type", Attr::type, false, 16},
    {"pin-source", Attr::pinSource, true, 1024},
    {"pin-value", Attr::pinValue, true, 256},
    {"module-path", Attr::modulePath, true, 1024},
}};

int Hex(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes value; unencoded bytes must be visible ASCII.
bool Decode(std::string_view value, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '%') {
            if (value.size() - i < 3) {
                return false;
            }
            const int hi = Hex(value[i + 1]);
            const int lo = Hex(value[i + 2]);
            if (hi < 0 || lo < 0) {
                return false;
            }
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (c > 0x20 && c < 0x7f) {
            out.push_back(c);
        } else {
            return false;
        }
    }
    return true;
}

struct Parser {
    Uri &uri;
    const char *why = nullptr;
    std::array<bool, static_cast<std::size_t>(Attr::count)> seen{};

    bool Fail(const char *reason)
    {
        why = reason;
        return false;
    }

    bool Attribute(std::string_view item, bool inQuery)
    {
        if (item.empty()) {
            return true;
        }
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            return Fail("an attribute has no '='");
        }
        const std::string_view name = item.substr(0, eq);
        if (name.starts_with("x-")) {
            return true;
        }
        const AttrSpec *spec = nullptr;
        for (const AttrSpec &s : kAttrs) {
            if (s.name == name) {
                spec = &s;
            }
        }
        if (spec == nullptr) {
            return Fail("unsupported attribute (token, manufacturer, model, serial, object, id, type; "
                        "pin-source, module-path)");
        }
        if (spec->inQuery != inQuery) {
            return Fail("attribute in the wrong part of the URI (pin-source and module-path go after '?')");
        }
        if (spec->attr == Attr::pinValue) {
            return Fail("pin-value is refused: give the PIN in a file (pin-source) or on a file descriptor");
        }
        bool &once = seen[static_cast<std::size_t>(spec->attr)];
        if (once) {
            return Fail("an attribute is given twice");
        }
        once = true;
        std::string value;
        if (!Decode(item.substr(eq + 1), value)) {
            return Fail("bad percent-encoding or an unencoded space or control character");
        }
        if (value.size() > spec->maxLen) {
            return Fail("an attribute value is too long");
        }
        if (spec->attr != Attr::id && value.find('\0') != std::string::npos) {
            return Fail("a text attribute contains a NUL byte");
        }
        switch (spec->attr) {
        case Attr::token: uri.token = std::move(value); break;
        case Attr::manufacturer: uri.manufacturer = std::move(value); break;
        case Attr::model: uri.model = std::move(value); break;
        case Attr::serial: uri.serial = std::move(value); break;
        case Attr::object: uri.object = std::move(value); break;
        case Attr::id:
            uri.id.assign(value.begin(), value.end());
            uri.hasId = true;
            break;
        case Attr::type:
            if (value != "secret-key") {
                return Fail("type must be secret-key");
            }
            break;
        case Attr::pinSource: return PinSource(value);
        case Attr::modulePath:
            if (value.empty() || value.front() != '/') {
                return Fail("module-path must be absolute");
            }
            uri.modulePath = std::move(value);
            break;
        case Attr::pinValue:
        case Attr::count: break;
        }
        return true;
    }

    bool PinSource(std::string_view value)
    {
        if (value.starts_with("file://")) {
            value.remove_prefix(7); // file:///path: empty authority
        } else if (value.starts_with("file:")) {
            value.remove_prefix(5);
        }
        if (value.empty() || value.front() != '/') {
            return Fail("pin-source must name an absolute file (file:/path)");
        }
        uri.pinSource = std::string(value);
        return true;
    }

    bool Part(std::string_view part, char separator, bool inQuery)
    {
        while (true) {
            const std::size_t end = part.find(separator);
            if (!Attribute(part.substr(0, end), inQuery)) {
                return false;
            }
            if (end == std::string_view::npos) {
                return true;
            }
            part.remove_prefix(end + 1);
        }
    }
};

} // namespace

Status ParseUri(std::string_view text, Uri &uri, const char **why)
{
    Uri parsed;
    Parser parser{parsed};
    bool ok = false;
    if (text.size() > kMaxUri) {
        parser.why = "the URI is too long";
    } else if (!text.starts_with(kScheme)) {
        parser.why = "the URI does not start with pkcs11:";
    } else {
        text.remove_prefix(kScheme.size());
        const std::size_t q = text.find('?');
        ok = parser.Part(text.substr(0, q), ';', false) &&
             (q == std::string_view::npos || parser.Part(text.substr(q + 1), '&', true));
        if (ok && (parsed.token.empty() || parsed.object.empty())) {
            ok = parser.Fail("the URI must name the token (token=) and the key (object=)");
        }
    }
    if (!ok) {
        if (why != nullptr) {
            *why = parser.why;
        }
        return Status::badUri;
    }
    uri = std::move(parsed);
    return Status::ok;
}

} // namespace zorv::pkcs11
