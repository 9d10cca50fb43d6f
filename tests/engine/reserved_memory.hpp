// Address space with no memory behind it, for the checks that a length limit
// is enforced before the data is touched.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::testing {

// n bytes of inaccessible, never-committed address space: any read or write
// of it crashes the test. Unmapped on every way out of the test.
class InaccessibleBytes {
public:
    explicit InaccessibleBytes(std::size_t n) noexcept : size_(n) {
        void* p = ::mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED) base_ = static_cast<std::uint8_t*>(p);
    }
    ~InaccessibleBytes() {
        if (base_ != nullptr) ::munmap(base_, size_);
    }
    InaccessibleBytes(const InaccessibleBytes&) = delete;
    InaccessibleBytes& operator=(const InaccessibleBytes&) = delete;

    bool mapped() const noexcept { return base_ != nullptr; }
    std::span<std::uint8_t> span() const noexcept { return {base_, size_}; }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_;
};

}  // namespace velora::testing
