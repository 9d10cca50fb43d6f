// The operating system's random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::platform {

// Fills exactly out.size() bytes, or returns false. Never reports fewer bytes
// as success. Safe from any number of threads.
[[nodiscard]] bool fill_random(std::span<std::uint8_t> out) noexcept;

}  // namespace velora::platform
