// The store this host serves, as its configuration pins it (the file
// "store" of the host configuration):
//
//   store-id 0123456789abcdef0123456789abcdef
//   newest-update 42
//
// The id is the store's random identity (set at create, kept by every later
// write); newest-update is the highest update counter the key tool has
// written or taken in for it, so an older copy is noticed. A host with a pin
// never loads a format-1 store again.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "trust/host_config.h"

namespace zorv {

using StoreId = std::array<std::uint8_t, 16>;

struct StorePin {
    ConfigStatus status = ConfigStatus::missing; // ok: a pin is in force
    std::string path;
    std::string detail; // unsafe/unreadable, or a malformed file: why
    StoreId id{};
    std::uint64_t newestUpdate = 0;

    bool pinned() const { return status == ConfigStatus::ok; }
    // Set: loads must refuse (the file is there but cannot be trusted).
    bool broken() const { return status == ConfigStatus::unsafe || status == ConfigStatus::unreadable; }
};

StorePin ReadStorePin();

// The file's text for a pin.
std::string FormatStorePin(const StoreId &id, std::uint64_t newestUpdate);

std::string StoreIdText(const StoreId &id);

} // namespace zorv
