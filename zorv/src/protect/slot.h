// A protector slot of a format-2 key store: the store's root key sealed with
// AES-256-GCM under a slot key that only this host (its host key file, its
// TPM) or a recovery passphrase can produce. Any one slot that opens opens
// the store.
//
//   size
//   1     type (QINT_PROTECT_; the written types of protect/slot_types.h)
//   1     slot id (1..255, unique in the store)
//   2     length p of the parameters
//   p     parameters of the type (host: none; the others: see their
//         folders)
//   12    nonce
//   32    root key, sealed
//   16    tag
//
// The associated data is the store's salt followed by the slot's bytes up to
// the nonce, so a slot neither moves to another store nor changes its type
// or parameters unnoticed.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/byte_cursor.h"
#include "crypto/secret.h"
#include "zorv_admin.h"

namespace zorv {

using Salt = std::span<const std::uint8_t, 32>;

constexpr std::size_t kMaxSlots = 8;
constexpr std::size_t kMaxSlotParams = 2048;
constexpr std::size_t kSlotFixedSize = 4 + 12 + 32 + 16;

struct Slot {
    Slot() = default;
    Slot(const Slot &) = default;
    Slot &operator=(const Slot &) = default;
    Slot(Slot &&) = default;
    Slot &operator=(Slot &&) = default;
    ~Slot() { CleanseAll(nonce, sealed, tag); }

    std::uint8_t type = 0; // QINT_PROTECT_
    std::uint8_t id = 0;
    std::vector<std::uint8_t> params; // not secret
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 32> sealed{};
    std::array<std::uint8_t, 16> tag{};
};

// Reads one slot; false (r failed or a bad field) when it does not parse.
bool ReadSlot(ByteReader &r, Slot &out);

// The slot's bytes as stored.
template <typename Vector>
void WriteSlot(ByteWriter<Vector> &w, const Slot &s)
{
    w.U8(s.type);
    w.U8(s.id);
    w.U16(static_cast<std::uint16_t>(s.params.size()));
    w.Bytes(s.params);
    w.Bytes(s.nonce);
    w.Bytes(s.sealed);
    w.Bytes(s.tag);
}

// Associated data of the slot's seal (the store's salt: wiping storage).
SecretBytes SlotAad(Salt salt, const Slot &s);

// SHA-256 of the slot's bytes; false when the digest fails.
bool SlotDigest(const Slot &s, std::span<const std::uint8_t> extra, std::span<std::uint8_t, 32> out);

} // namespace zorv
