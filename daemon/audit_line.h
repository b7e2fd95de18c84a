// The optional audit line (ZORVA_AUDIT=1): who was answered, for which
// domain and key, and how long the plain text was; never the secret or the
// cipher text.
#pragma once

#include "connection_table.h"

#include <cstdint>

namespace brim {

// The domain and key id in the header of a Base64 cipher text. False when
// the text is too short for a header or not Base64 there.
bool CipherHeaderIds(const char *cipherText, uint32_t *domain, uint32_t *keyId);

// Notes the peer's start time and program in conn, as they are at accept:
// the process that connected, even if it execs another program or ends
// before its answer.
void TakeIdentity(Connection &conn);

// One Info line for the answered connection: peer pid, start time and uid,
// the peer's program as taken at accept ("?" when unreadable), domain, key
// id and plain-text length. When the pid now names a process started at
// another time, a Warn line says the pid was reused first.
void LogAnswered(const Connection &conn);

// One Info line for a connection refused because the key of its cipher text
// is disabled: the same fields but the length.
void LogRefusedDisabled(const Connection &conn);

} // namespace brim
