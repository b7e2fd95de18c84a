// A destination with guard bytes on both sides, to prove nothing is written
// outside [data(), data() + size).
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

class GuardedBuffer {
public:
    static constexpr std::size_t kGuard = 32;
    static constexpr unsigned char kGuardByte = 0xEE;

    explicit GuardedBuffer(std::size_t size, unsigned char fill = 0x5A, std::size_t offset = 0)
        : size_(size), offset_(offset), bytes_(size + 2 * kGuard + offset, kGuardByte)
    {
        std::memset(data(), fill, size);
    }

    unsigned char *data() { return bytes_.data() + kGuard + offset_; }
    char *chars() { return reinterpret_cast<char *>(data()); }
    std::size_t size() const { return size_; }

    bool GuardsIntact() const
    {
        for (std::size_t i = 0; i < kGuard + offset_; ++i) {
            if (bytes_[i] != kGuardByte) {
                return false;
            }
        }
        for (std::size_t i = kGuard + offset_ + size_; i < bytes_.size(); ++i) {
            if (bytes_[i] != kGuardByte) {
                return false;
            }
        }
        return true;
    }

    bool AllEqual(unsigned char v, std::size_t from = 0) { return CountOf(v, from) == size_ - from; }

    std::size_t CountOf(unsigned char v, std::size_t from = 0)
    {
        std::size_t n = 0;
        for (std::size_t i = from; i < size_; ++i) {
            n += data()[i] == v;
        }
        return n;
    }

private:
    std::size_t size_;
    std::size_t offset_;
    std::vector<unsigned char> bytes_;
};
