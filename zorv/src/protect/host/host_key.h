// The host key: 32 random bytes in a file of their own (default
// /etc/zorvm_host.key, or the path in ZORVA_HOST_KEY), readable by its owner
// only. A store's `host` slots open only where this file is.
#pragma once

#include <cstdint>
#include <string>

#include "callbacks.h"
#include "crypto/secret.h"

namespace zorv {

constexpr const char *kDefaultHostKeyFile = "/etc/zorvm_host.key";
constexpr const char *kHostKeyEnvironment = "ZORVA_HOST_KEY";

// The path used when none is configured: ZORVA_HOST_KEY when it holds an
// absolute path, else kDefaultHostKeyFile.
std::string DefaultHostKeyPath();

// 0 and the key; QINT_ERR_HOST_KEY_MISSING when the file does not exist;
// QINT_ERR_HOST_KEY_BAD when it is not a regular file of exactly 32 bytes,
// owned by root or this user, neither readable nor writable by others (it is
// opened without following a symbolic link), or cannot be read.
std::uint64_t ReadHostKey(const std::string &path, Key32 &key);

// Makes a new host key file (mode 0400) with random bytes from cb unless one
// exists; an existing file is never replaced. 0 when a usable key file is
// there afterwards (created tells whether this call made it), else the
// cause (QINT_ERR_RANDOM, QINT_ERR_FILE_WRITE, or ReadHostKey's).
std::uint64_t EnsureHostKey(const Callbacks &cb, const std::string &path, bool &created);

} // namespace zorv
