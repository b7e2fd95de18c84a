// Reading a token PIN without it passing through the command line or the
// environment: from a file named by the URI's pin-source, or from a file
// descriptor the caller was handed.
#pragma once

#include <string>

#include "crypto/secret.h"
#include "protect/pkcs11/pkcs11_status.h"

namespace zorv::pkcs11 {

constexpr std::size_t kMaxPin = 256;

// Reads the PIN file at path: a regular file, not a link, owned by this user
// or root, with no access for group or others, at most kMaxPin bytes. One
// trailing newline (LF or CR LF) is dropped. noPin on any failure; pin is
// wiped storage and left empty then.
Status ReadPinFile(const std::string &path, SecretBytes &pin);

// Reads fd to its end (at most kMaxPin bytes), dropping one trailing newline.
// The descriptor is not closed. noPin on a read error or an over-long PIN.
Status ReadPinFd(int fd, SecretBytes &pin);

} // namespace zorv::pkcs11
