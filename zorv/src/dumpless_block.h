// Anonymous memory kept out of core images (MADV_DONTDUMP) and locked in
// memory when RLIMIT_MEMLOCK allows; wiped and unmapped when destroyed. For
// what a process keeps from a store file between loads (the cached index's
// wrapped keys and wrapping key, image_cache.h), so that a core image taken
// between requests holds none of it.
#pragma once

#include <cstddef>

namespace zorv {

class DumplessBlock {
public:
    DumplessBlock() = default;
    // Maps at least bytes (once per block). False, and data() stays null,
    // when the memory could not be mapped or kept out of core images.
    bool Map(std::size_t bytes);
    ~DumplessBlock();
    DumplessBlock(const DumplessBlock &) = delete;
    DumplessBlock &operator=(const DumplessBlock &) = delete;

    void *data() const { return data_; }

private:
    void *data_ = nullptr;
    std::size_t size_ = 0;
    bool locked_ = false;
};

} // namespace zorv
