// Wiping of secrets with stores the optimiser may not remove (secure_wipe
// and secure_zero themselves are in platform/ct.hpp, for every layer).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/ct.hpp"

namespace velora {

inline void secure_wipe(std::span<std::uint8_t> s) noexcept { secure_wipe(s.data(), s.size()); }

// Wipes a caller-owned secret on every path out of a scope.
struct WipeOnExit {
    std::span<std::uint8_t> secret;
    explicit WipeOnExit(std::span<std::uint8_t> s) noexcept : secret(s) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { secure_wipe(secret); }
};

// A fixed-size secret buffer that wipes itself when it goes out of scope.
template <std::size_t N>
struct SecretBytes {
    std::array<std::uint8_t, N> bytes{};

    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { secure_wipe(bytes.data(), N); }

    std::uint8_t* data() noexcept { return bytes.data(); }
    const std::uint8_t* data() const noexcept { return bytes.data(); }
    static constexpr std::size_t size() noexcept { return N; }
    std::span<std::uint8_t, N> span() noexcept { return bytes; }
    std::span<const std::uint8_t, N> span() const noexcept { return bytes; }
};

}  // namespace velora
