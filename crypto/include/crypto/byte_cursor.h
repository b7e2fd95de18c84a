// Bounds-checked little-endian reading and writing of binary records. The
// reader fails closed: after the first read past the end every further read
// fails too, so a parser checks ok() once instead of after every field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zorv {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }

    std::span<const std::uint8_t> Take(std::size_t n)
    {
        if (!ok_ || n > bytes_.size() - pos_) {
            ok_ = false;
            return {};
        }
        auto out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Le(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Le(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Le(4)); }
    std::uint64_t U64() { return Le(8); }
    bool Copy(std::span<std::uint8_t> out)
    {
        auto in = Take(out.size());
        if (ok_ && !in.empty()) {
            std::copy(in.begin(), in.end(), out.begin());
        }
        return ok_;
    }

private:
    std::uint64_t Le(std::size_t n)
    {
        auto in = Take(n);
        std::uint64_t v = 0;
        for (std::size_t i = in.size(); i-- > 0;) {
            v = (v << 8) | in[i];
        }
        return v;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

template <typename Vector = std::vector<std::uint8_t>>
class ByteWriter {
public:
    explicit ByteWriter(Vector &out) : out_(out) {}
    void U8(std::uint8_t v) { out_.push_back(v); }
    void U16(std::uint16_t v) { Le(v, 2); }
    void U32(std::uint32_t v) { Le(v, 4); }
    void U64(std::uint64_t v) { Le(v, 8); }
    void Bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

private:
    void Le(std::uint64_t v, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    Vector &out_;
};

// Fixed-position little-endian access for small headers in caller buffers.
inline void StoreLe32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
inline void StoreLe16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

} // namespace zorv
