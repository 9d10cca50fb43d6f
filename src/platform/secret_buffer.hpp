// A heap buffer holding a secret: overwritten with zeros (every allocated
// byte) before it is released or replaced. Move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "platform/ct.hpp"

namespace velora {

class SecretBuffer {
public:
    SecretBuffer() noexcept = default;
    explicit SecretBuffer(std::size_t n) : data_(std::make_unique<std::uint8_t[]>(n)), size_(n) {}
    SecretBuffer(SecretBuffer&& o) noexcept : data_(std::move(o.data_)), size_(std::exchange(o.size_, 0)) {}
    SecretBuffer& operator=(SecretBuffer&& o) noexcept {
        if (this != &o) {
            wipe();
            data_ = std::move(o.data_);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { wipe(); }

    std::uint8_t* data() noexcept { return data_.get(); }
    const std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }
    std::span<const std::uint8_t> span() const noexcept { return {data_.get(), size_}; }

private:
    void wipe() noexcept {
        if (data_) secure_wipe(data_.get(), size_);
    }

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

}  // namespace velora
