// Reading and writing one key-store file whole, through the callbacks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "callbacks.h"
#include "crypto/secret.h"

namespace zorv {

// Larger files are refused before they are read.
constexpr std::size_t kMaxStoreFileSize = 8u << 20;

// 0 and the file's bytes in out (wiping storage: the bytes are the key
// store); QINT_ERR_FILE_MISSING, QINT_ERR_FILE_READ,
// or QINT_ERR_BAD_LENGTH for a file over kMaxStoreFileSize.
std::uint64_t ReadStoreFile(const Callbacks &cb, const char *path, SecretBytes &out);

// Replaces the file's content with bytes and flushes it; a file that did not
// exist is created readable by its owner only. 0 or QINT_ERR_FILE_WRITE.
std::uint64_t WriteStoreFile(const Callbacks &cb, const char *path, std::span<const std::uint8_t> bytes);

} // namespace zorv
