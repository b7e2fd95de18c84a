// Internal: what the encrypt, decrypt, HMAC, Base64 and reload files share:
// their log codes, the read hold of the reload lock and an owned agent
// buffer that is wiped and freed over the size it was allocated with.
#pragma once

#include <cstdint>

#include "agent_log.h"
#include "bounded.h"
#include "zorva_main.h"

namespace zorva::crypto {

// Largest plain or data length that encryption and HMAC computation accept.
inline constexpr uint32_t kMaxPlainLen = 0x40000000u;

// Holds g_stZorvaRealoadLock in read mode for its lifetime. A reload inside
// the guarded code may give the hold up and take it back; the thread holds it
// again when that returns, so the release here stays balanced.
// A thread that already holds the lock for writing (a log function called
// during a reload that calls back into the agent) is refused the read hold;
// it then releases nothing.
class ReloadReadHold {
public:
    ReloadReadHold() : held_(pthread_rwlock_rdlock(&g_stZorvaRealoadLock) == 0) {}
    ~ReloadReadHold()
    {
        if (held_) {
            (void)pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        }
    }
    ReloadReadHold(const ReloadReadHold &) = delete;
    ReloadReadHold &operator=(const ReloadReadHold &) = delete;

private:
    bool held_;
};

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
