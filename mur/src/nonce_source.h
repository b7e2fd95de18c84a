// GCM nonces: 12 random bytes each, never repeated under a key.
#pragma once

#include <cstdint>
#include <span>

namespace mur {

constexpr std::size_t kNonceSize = 12;

// Fills out with a fresh random nonce; false when the generator failed.
bool NextNonce(std::span<std::uint8_t, kNonceSize> out);

} // namespace mur
