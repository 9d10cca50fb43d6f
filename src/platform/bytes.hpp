// Text as the bytes it is made of (labels, info strings), viewed in place.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace velora {

inline std::span<const std::uint8_t> bytes_of(std::string_view s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace velora
