// Containers for key material that wipe themselves when released.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

namespace zorv {

// The one wipe of the components: overwrites n bytes in a way the compiler
// may not drop. Every container below and every buffer of libZORV, libMUR
// and the keytool that held key material or store bytes goes through it.
inline void Wipe(void *p, std::size_t n) noexcept
{
    if (p != nullptr && n != 0) {
        OPENSSL_cleanse(p, n);
    }
}

// Allocator whose blocks are cleansed before they go back to the heap, so a
// vector that grows or dies leaves no copy of its bytes behind.
template <typename T>
struct CleansingAllocator {
    using value_type = T;
    CleansingAllocator() noexcept = default;
    template <typename U>
    CleansingAllocator(const CleansingAllocator<U> &) noexcept
    {
    }
    T *allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T *p, std::size_t n) noexcept
    {
        Wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const CleansingAllocator<U> &) const noexcept
    {
        return true;
    }
};

using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Fixed-size secret, wiped on destruction and on assignment over it.
template <std::size_t N>
class SecretArray {
public:
    SecretArray() { bytes_.fill(0); }
    SecretArray(const SecretArray &other) : bytes_(other.bytes_) {}
    SecretArray &operator=(const SecretArray &other)
    {
        if (this != &other) {
            Wipe(bytes_.data(), N);
            bytes_ = other.bytes_;
        }
        return *this;
    }
    ~SecretArray() { Wipe(bytes_.data(), N); }

    std::uint8_t *data() { return bytes_.data(); }
    const std::uint8_t *data() const { return bytes_.data(); }
    static constexpr std::size_t size() { return N; }
    std::span<std::uint8_t, N> span() { return std::span<std::uint8_t, N>(bytes_); }
    std::span<const std::uint8_t, N> span() const { return std::span<const std::uint8_t, N>(bytes_); }

private:
    std::array<std::uint8_t, N> bytes_;
};

using Key32 = SecretArray<32>;

// Wipes plain arrays that held bytes of a key store.
template <typename... Arrays>
void CleanseAll(Arrays &...arrays)
{
    (Wipe(arrays.data(), arrays.size() * sizeof(*arrays.data())), ...);
}

// Wipes a region when the scope ends (stack buffers that held plain text).
class ScopedCleanse {
public:
    ScopedCleanse(void *p, std::size_t n) : p_(p), n_(n) {}
    ~ScopedCleanse() { Wipe(p_, n_); }
    ScopedCleanse(const ScopedCleanse &) = delete;
    ScopedCleanse &operator=(const ScopedCleanse &) = delete;

private:
    void *p_;
    std::size_t n_;
};

} // namespace zorv
