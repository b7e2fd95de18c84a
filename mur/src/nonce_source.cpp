// A call for 12 random bytes costs the crypto library a fork check (a system
// call) and a generator update, several times the cost of sealing a short
// secret. Each thread therefore draws nonces for 64 encryptions at once and
// hands them out one by one.
//
// A forked child must never hand out what its parent still holds: the
// parent's next nonces would repeat under the same keys. A fork handler bumps
// a process-wide generation in the child, and a batch drawn under another
// generation is thrown away before any nonce is taken from it.
#include "nonce_source.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include "crypto/secret.h"

namespace mur {
namespace {

constexpr std::size_t kBatchNonces = 64;

std::atomic<std::uint64_t> g_generation{1};

void AfterForkInChild() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded; unregistered by the C library when
// it is unloaded.
const bool g_forkHandler = pthread_atfork(nullptr, nullptr, AfterForkInChild) == 0;

struct Batch {
    std::uint8_t bytes[kBatchNonces * kNonceSize];
    std::size_t next = kBatchNonces;
    std::uint64_t generation = 0;
    ~Batch() { zorv::Wipe(bytes, sizeof bytes); }
};

thread_local Batch t_batch;

} // namespace

bool NextNonce(std::span<std::uint8_t, kNonceSize> out)
{
    if (!g_forkHandler) {
        // Without the handler a child could not tell: draw every nonce.
        return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
    }
    Batch &b = t_batch;
    const std::uint64_t generation = g_generation.load(std::memory_order_relaxed);
    if (b.next == kBatchNonces || b.generation != generation) {
        if (RAND_bytes(b.bytes, static_cast<int>(sizeof b.bytes)) != 1) {
            zorv::Wipe(b.bytes, sizeof b.bytes);
            b.next = kBatchNonces;
            return false;
        }
        b.next = 0;
        b.generation = generation;
    }
    std::uint8_t *slot = b.bytes + b.next * kNonceSize;
    std::memcpy(out.data(), slot, kNonceSize);
    // A nonce handed out is gone from the batch.
    zorv::Wipe(slot, kNonceSize);
    ++b.next;
    return true;
}

} // namespace mur
