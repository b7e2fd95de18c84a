// Internal: what the encrypt, decrypt, HMAC, Base64 and reload files share:
// their log codes, the read hold of the reload lock and an owned agent
// buffer that is wiped and freed over the size it was allocated with.
#pragma once

#include <cstdint>

#include "bounded.h"
#include "reload_lock.h"
#include "zorva_main.h"

namespace zorva::crypto {

// Log codes of these files (25088 + offset).
inline constexpr int32_t kCodeReload = 25089;         // reload and key-file status
inline constexpr int32_t kCodeCryptoStep = 25090;     // raw encrypt/HMAC/verify failures
inline constexpr int32_t kCodeLengthQuery = 25093;    // cipher or HMAC size query
inline constexpr int32_t kCodeCipherAlloc = 25094;    // cipher buffer allocation
inline constexpr int32_t kCodeEncodeAlloc = 25095;    // Base64 buffer; encrypt step of ZORVA_Encrypt
inline constexpr int32_t kCodeEncode = 25096;         // Base64 encode; decode step of ZORVA_Decrypt
inline constexpr int32_t kCodeDecodedLen = 25097;     // decoded length not obtained
inline constexpr int32_t kCodeDecodeAlloc = 25104;    // Base64 decode buffer
inline constexpr int32_t kCodeDecodeBlock = 25105;    // Base64 block decoding
inline constexpr int32_t kCodePlainAlloc = 25106;     // plain buffer in decryption
inline constexpr int32_t kCodeDecrypt = 25107;        // decryption failed in ZORVA_Decrypt
inline constexpr int32_t kCodeState = 25137;          // state and input problems
inline constexpr int32_t kCodeCheck = 25139;          // length, domain and parameter checks
inline constexpr int32_t kCodeKeyFile = 25140;        // key store and key file
inline constexpr int32_t kCodeDecryptAgain = 25148;   // decryption failed after the reload
inline constexpr int32_t kCodeDecryptRetry = 25156;   // decryption failed, retried

// Largest plain or data length that encryption and HMAC computation accept.
inline constexpr uint32_t kMaxPlainLen = 0x40000000u;

// The constant handed to MurEncryptEx as its second argument.
inline constexpr uint32_t kMurCipherAlgorithm = 9u;

// The read hold of the reload lock that every operation and raw data call
// takes (reload_lock.h).
using zorva::ReloadReadHold;

// An agent buffer (ZORVA_MemAlloc) that is zeroed when taken and given back
// with ZORVA_MemClearFree over the size it was allocated with, whatever a
// library call later wrote into the length variables, unless handed out.
class AgentBlock {
public:
    explicit AgentBlock(uint32_t size) : data_(static_cast<unsigned char *>(ZORVA_MemAlloc(size))), size_(size)
    {
        if (data_ != nullptr) {
            (void)memset_s(data_, size_, 0, size_);
        }
    }
    // Takes over a block of `size` bytes that came from ZORVA_MemAlloc.
    AgentBlock(unsigned char *data, uint32_t size) : data_(data), size_(size) {}
    ~AgentBlock() { ZORVA_MemClearFree(data_, size_); }
    AgentBlock(const AgentBlock &) = delete;
    AgentBlock &operator=(const AgentBlock &) = delete;

    unsigned char *get() const { return data_; }
    uint32_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Hands the block to the caller; it is no longer freed here.
    unsigned char *release()
    {
        unsigned char *p = data_;
        data_ = nullptr;
        return p;
    }

private:
    unsigned char *data_;
    uint32_t size_;
};

} // namespace zorva::crypto
