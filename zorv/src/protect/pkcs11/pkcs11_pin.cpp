#include "protect/pkcs11/pkcs11_pin.h"

#include "crypto/private_file.h"

namespace zorv::pkcs11 {
namespace {

void DropNewline(SecretBytes &pin)
{
    if (!pin.empty() && pin.back() == '\n') {
        pin.pop_back();
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
    }
}

} // namespace

Status ReadPinFile(const std::string &path, SecretBytes &pin)
{
    if (ReadPrivateFile(path, kMaxPin, pin) != PrivateFileStatus::ok) {
        pin.clear();
        return Status::noPin;
    }
    DropNewline(pin);
    return Status::ok;
}

Status ReadPinFd(int fd, SecretBytes &pin)
{
    if (fd < 0 || !ReadBounded(fd, kMaxPin, pin)) {
        pin.clear();
        return Status::noPin;
    }
    DropNewline(pin);
    return Status::ok;
}

} // namespace zorv::pkcs11
