// The text an administrator hands the host about signed PCR policies: the
// installed list (and a policy file) and a predicted-values file, parsed
// from arbitrary bytes.
//
// Checks: parsing never reads out of bounds (ASan) and takes at most the
// limit; whatever parses formats back to a text that parses to the same
// policies (same ids, same signer names), so one policy has one line; a
// values text that parses gives zero outside the PCRs asked for.
#include "trust/pcr_policy.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const std::uint32_t mask = (data[0] | data[1] << 8 | data[2] << 16) & 0xFFFFFFu;
    const std::string_view text(reinterpret_cast<const char *>(data + 3), size - 3);
    std::vector<zorv::SignedPcrPolicy> read;
    std::string why;
    if (zorv::ParsePolicies(text, 4, read, why)) {
        if (read.empty() || read.size() > 4) {
            std::abort();
        }
        std::string again;
        for (const zorv::SignedPcrPolicy &p : read) {
            again += zorv::FormatPolicyLine(p) + "\n";
        }
        std::vector<zorv::SignedPcrPolicy> reread;
        if (!zorv::ParsePolicies(again, 4, reread, why) || reread.size() != read.size()) {
            std::abort();
        }
        for (std::size_t i = 0; i < read.size(); ++i) {
            if (zorv::PolicyId(read[i]) != zorv::PolicyId(reread[i]) || read[i].signerName != reread[i].signerName) {
                std::abort();
            }
        }
    }
    zorv::PcrValues values{};
    if (zorv::ParsePcrValues(text, mask, values, why)) {
        for (std::uint32_t i = 0; i < zorv::kPcrCount; ++i) {
            if (((mask >> i) & 1u) == 0 && values[i] != zorv::PolicyDigest{}) {
                std::abort();
            }
        }
    }
    return 0;
}
