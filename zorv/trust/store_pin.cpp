#include "trust/store_pin.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zorv {
namespace {

bool ParseHex(const std::string &text, StoreId &out)
{
    if (text.size() != out.size() * 2) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[2 * i + static_cast<std::size_t>(k)];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) {
                return false;
            }
            v = v * 16 + static_cast<unsigned>(d);
        }
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

bool ParseCounter(const std::string &text, std::uint64_t &out)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

} // namespace

std::string StoreIdText(const StoreId &id)
{
    std::string text;
    char two[3];
    for (std::uint8_t b : id) {
        std::snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

std::string FormatStorePin(const StoreId &id, std::uint64_t newestUpdate)
{
    return "# The key store this host serves. Written by zorvm_keytool (create, migrate, import,\n"
           "# adopt and every later write); a store with another id is refused until root accepts it.\n"
           "store-id " +
           StoreIdText(id) + "\nnewest-update " + std::to_string(newestUpdate) + "\n";
}

StorePin ReadStorePin()
{
    StorePin pin;
    ConfigText file = ReadHostConfig(kStorePinFile);
    pin.path = file.path;
    pin.status = file.status;
    pin.detail = file.detail;
    if (file.status != ConfigStatus::ok) {
        return pin;
    }
    bool haveId = false;
    bool haveUpdate = false;
    for (const auto &line : ConfigLines(file.text)) {
        const bool pair = line.size() == 2;
        if (pair && line[0] == "store-id" && !haveId) {
            haveId = ParseHex(line[1], pin.id);
            if (!haveId) {
                break;
            }
        } else if (pair && line[0] == "newest-update" && !haveUpdate) {
            haveUpdate = ParseCounter(line[1], pin.newestUpdate);
            if (!haveUpdate) {
                break;
            }
        } else {
            haveId = false; // anything else: the file is not ours
            break;
        }
    }
    if (!haveId || !haveUpdate) {
        pin.status = ConfigStatus::unreadable;
        pin.detail = pin.path + ": not a store pin (expected 'store-id HEX' and 'newest-update N')";
    }
    return pin;
}

} // namespace zorv
