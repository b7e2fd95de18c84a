// The 37 key domains the agent may name, in the agent's order.
#pragma once

#include <array>
#include <cstdint>

#include "zorv_domains.h"

namespace zorv {

inline constexpr std::array<std::uint32_t, QINT_DOMAIN_COUNT> kDomainIds = {QINT_DOMAIN_IDS};

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
