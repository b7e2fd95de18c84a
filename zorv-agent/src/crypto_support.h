// Internal: what the encrypt, decrypt, HMAC, Base64 and reload files share:
// their log codes, the read hold of the reload lock and an owned agent
// buffer that is wiped and freed over the size it was allocated with.
#pragma once

#include <cstdint>

#include "agent_log.h"
#include "bounded.h"
#include "reload_lock.h"
#include "zorva_main.h"

namespace zorva::crypto {

// Largest plain or data length that encryption and HMAC computation accept.
inline constexpr uint32_t kMaxPlainLen = 0x40000000u;

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
