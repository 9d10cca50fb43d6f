// Hexadecimal text for the engine tests' known answers, and a zero check.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velora::testing {

// Strict: an odd length or a character outside [0-9a-fA-F] throws.
inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::runtime_error("bad hex digit");
    };
    if (hex.size() % 2 != 0) throw std::runtime_error("odd hex length");
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    return out;
}

// Lower-case digits, two per byte.
inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

// A fixed-size value from hex; the text must give exactly N bytes.
template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(std::string_view hex) {
    const std::vector<std::uint8_t> b = from_hex(hex);
    if (b.size() != N) throw std::runtime_error("hex gives the wrong number of bytes");
    std::array<std::uint8_t, N> a{};
    std::copy(b.begin(), b.end(), a.begin());
    return a;
}

inline bool all_zero(std::span<const std::uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

}  // namespace velora::testing
