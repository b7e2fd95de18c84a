// The optional audit line (ZORVA_AUDIT=1): who was answered, for which
// domain and key, and how long the plain text was; never the secret or the
// cipher text.
#pragma once

#include "connection_table.h"

#include <cstdint>

namespace brim {

// True when the environment holds ZORVA_AUDIT=1.
bool AuditEnabled();

// The domain and key id in the header of a Base64 cipher text. False when
// the text is too short for a header or not Base64 there.
bool CipherHeaderIds(const char *cipherText, uint32_t *domain, uint32_t *keyId);

// One Info line for the answered connection: peer pid and uid, the peer's
// program from /proc (best effort, "?" when unreadable), domain, key id and
// plain-text length.
void LogAnswered(const Connection &conn);

} // namespace brim
