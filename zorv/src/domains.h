// The 37 key domains the agent may name, in the agent's order.
#pragma once

#include <array>
#include <cstdint>

namespace zorv {

inline constexpr std::array<std::uint32_t, 37> kDomainIds = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,  12,  13,  14,  15,  16,  17,  18,
    19, 20, 21, 22, 23, 24, 25, 50, 51, 100, 101, 102, 103, 104, 105, 150, 151, 152,
};

// Position of a domain id in kDomainIds, or -1.
constexpr int DomainIndex(std::uint32_t domain)
{
    if (domain <= 25) {
        return static_cast<int>(domain);
    }
    for (std::size_t i = 26; i < kDomainIds.size(); ++i) {
        if (kDomainIds[i] == domain) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

static_assert(DomainIndex(152) == 36 && DomainIndex(26) == -1 && DomainIndex(9) == 9);

} // namespace zorv
