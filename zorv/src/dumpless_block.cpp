#include "dumpless_block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <openssl/crypto.h>

namespace zorv {

bool DumplessBlock::Map(std::size_t bytes)
{
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (data_ != nullptr || bytes == 0 || pageSize <= 0 || bytes > (std::size_t(1) << 30)) {
        return false;
    }
    const auto page = static_cast<std::size_t>(pageSize);
    const std::size_t size = (bytes + page - 1) / page * page;
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    if (::madvise(p, size, MADV_DONTDUMP) != 0) {
        ::munmap(p, size);
        return false;
    }
    locked_ = ::mlock(p, size) == 0; // best effort: RLIMIT_MEMLOCK may be small
    data_ = p;
    size_ = size;
    return true;
}

DumplessBlock::~DumplessBlock()
{
    if (data_ == nullptr) {
        return;
    }
    OPENSSL_cleanse(data_, size_);
    if (locked_) {
        ::munlock(data_, size_);
    }
    ::munmap(data_, size_);
}

} // namespace zorv
