// The tpm2 and host+tpm2 slot types: a random 32-byte slot secret sealed to
// this host's TPM (see tpm2_seal.h), bound to no PCR, to the PCRs' values of
// the day, or to any values a policy signed by one key approves (the
// installed policies of trust/tpm2_policies.h). The slot's parameters are
//   4  PCR mask (bit i binds SHA-256 PCR i, 0..23)
//   rest: the sealed object (tpm2_blob.h: with the values sealed to, or the
//         signer's name)
#pragma once

#include <cstdint>
#include <span>

#include "callbacks.h"
#include "crypto/secret.h"
#include "protect/settings.h"
#include "protect/slot.h"
#include "protect/tpm2/tpm2_seal.h"

namespace zorv {

struct TpmParams {
    std::uint32_t pcrMask = 0;
    std::span<const std::uint8_t> blob;
};
bool ParseTpmParams(const Slot &s, TpmParams &out);

// The QINT_ERR_ code of a TPM status.
std::uint64_t FromTpm(tpm2::Status s);

// The slot-type functions (protect/slot_types.h): unseal the secret, seal a
// new one bound to the settings' PCRs (and signer: made only when an
// installed policy opens it), show the PCR mask and signer. A slot that does
// not open notes why (failure_detail.h): the PCRs that changed, the policy
// file.
std::uint64_t OpenTpm2Secret(Salt salt, const Slot &slot, const Unlock &unlock, bool cached, Key32 &secret);
std::uint64_t MakeTpm2Secret(const Callbacks &cb, Salt salt, const Unlock &unlock, Slot &slot, Key32 &secret);
void DescribeTpm2Slot(const Slot &slot, QintSlotInfo &info);

} // namespace zorv
