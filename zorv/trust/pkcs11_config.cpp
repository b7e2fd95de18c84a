#include "trust/pkcs11_config.h"

#include <cstdio>

namespace zorv {
namespace {

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool Decode(const std::string &in, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        const int hi = HexDigit(in[i + 1]);
        const int lo = HexDigit(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return !out.empty();
}

std::string Encode(const std::string &in)
{
    std::string out;
    for (unsigned char c : in) {
        if (c <= ' ' || c >= 0x7f || c == '%' || c == '#') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

bool ValidPinSource(const std::string &text)
{
    if (text == "none") {
        return true;
    }
    if (text.rfind("file:/", 0) == 0) {
        return text.size() > 6;
    }
    if (text.rfind("credential:", 0) == 0) {
        const std::string name = text.substr(11);
        return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
    }
    return false;
}

const Pkcs11Entry *Pkcs11Config::Find(const std::string &module, const std::string &token) const
{
    for (const Pkcs11Entry &e : entries) {
        if (e.module == module && e.token == token) {
            return &e;
        }
    }
    return nullptr;
}

Pkcs11Config ReadPkcs11Config()
{
    Pkcs11Config out;
    const ConfigState state = ReadConfigEntries(
        kPkcs11ConfigFile, "module PATH token LABEL pin file:PATH|credential:NAME|none",
        [&](const std::vector<std::string> &line) {
            Pkcs11Entry e;
            if (line.size() != 6 || line[0] != "module" || !Decode(line[1], e.module) || e.module[0] != '/' ||
                line[2] != "token" || !Decode(line[3], e.token) || line[4] != "pin" || !ValidPinSource(line[5])) {
                return false;
            }
            e.pinSource = line[5];
            out.entries.push_back(std::move(e));
            return true;
        });
    static_cast<ConfigState &>(out) = state;
    if (state.status != ConfigStatus::ok) {
        out.entries.clear();
    }
    return out;
}

std::string FormatPkcs11Config(const std::vector<Pkcs11Entry> &entries)
{
    std::string text = "# PKCS#11 modules this host loads and their PIN sources. Written by\n"
                       "# zorvm_keytool pkcs11 add/remove; 'module PATH token LABEL pin SOURCE' per line.\n";
    for (const Pkcs11Entry &e : entries) {
        text += "module " + Encode(e.module) + " token " + Encode(e.token) + " pin " + e.pinSource + "\n";
    }
    return text;
}

} // namespace zorv
