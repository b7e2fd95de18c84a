// Placeholder until the TPM is wired in: every call reports no TPM.
#include "protect/tpm2_seal.h"

#include <algorithm>

namespace zorv::tpm2 {

Status Seal(std::span<const std::uint8_t, 32>, std::uint32_t, std::vector<std::uint8_t> &blob)
{
    blob.clear();
    return Status::noTpm;
}

Status Unseal(std::span<const std::uint8_t>, std::span<std::uint8_t, 32> secret)
{
    std::fill(secret.begin(), secret.end(), std::uint8_t{0});
    return Status::noTpm;
}

const char *StatusText(Status status)
{
    switch (status) {
    case Status::ok: return "sealed object opened";
    case Status::noTpm: return "no TPM reachable";
    case Status::notThisTpm: return "the sealed object does not open on this TPM";
    case Status::pcrChanged: return "the PCR values the object is bound to have changed";
    case Status::badBlob: return "the sealed object is malformed";
    case Status::failure: break;
    }
    return "TPM failure";
}

} // namespace zorv::tpm2
