// Wiping of secrets with stores the optimiser may not remove.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace velora {

// Overwrites n bytes with zeros, one volatile byte store at a time.
inline void secure_wipe(void* p, std::size_t n) noexcept {
    volatile std::uint8_t* b = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) b[i] = 0;
}

inline void secure_wipe(std::span<std::uint8_t> s) noexcept { secure_wipe(s.data(), s.size()); }

// The bulk form for working buffers (polynomials, re-encrypted capsules,
// PRF output): zeros at memset speed, then a compiler barrier that claims to
// read the memory, so the stores cannot be dropped as dead.
inline void secure_zero(void* p, std::size_t n) noexcept {
    if (n == 0) return;  // an empty buffer may have no storage: memset(nullptr, 0, 0) is undefined
    std::memset(p, 0, n);
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    secure_wipe(p, n);
#endif
}

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
