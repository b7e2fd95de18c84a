// How a request ended, as the daemon counts it.
#pragma once

#include <cstdint>

namespace brim {

enum class RequestResult : uint8_t {
    Answered,
    RefusedPeer,         // not user id 1000
    Malformed,           // unreadable: too long, broken off, not Base64, not a cipher text
    AuthenticationFailed, // damaged or tampered cipher text
    UnknownKey,          // key id or domain not in the key store
    StoreUnavailable,    // the key store could not be loaded (by StoreCause)
    Incomplete,          // timed out, or the peer left before its answer was out
    Unanswerable,        // decrypted, but too long for an answer
    KeyDisabled,         // its key is in the key store but disabled
    kCount,
};

// Why the key store was unavailable.
enum class StoreCause : uint8_t {
    NoKeyStore,
    ReloadFailed,
    OutOfMemory,
    Library,
    PathRule,
    NoDescriptor, // the daemon had no descriptor left to open the store with
    Unknown,
    kCount,
};

struct FailedDecrypt {
    RequestResult result = RequestResult::StoreUnavailable;
    StoreCause cause = StoreCause::Unknown; // for StoreUnavailable
    bool loaded = false;                    // the key store was loaded before the failure
};

// Why the decrypt front just returned -1, from what the front and the
// agent's lines told it. The one place that reads the front's cause.
FailedDecrypt WhyDecryptFailed();

} // namespace brim
