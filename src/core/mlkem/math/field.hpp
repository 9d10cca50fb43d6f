// Arithmetic in Z_q, q = 3329, on canonical coefficients in [0, q - 1].
//
// Every operation returns a canonical value. The corrections are selections
// without a branch: the candidate is read as a signed 16-bit value, its sign
// bit is spread into a mask, and the mask picks one of the two candidates.
// No coefficient value ever steers a branch or a memory index.
#pragma once

#include <cstdint>

namespace velora::mlkem {

inline constexpr std::uint16_t Q = 3329;

namespace detail {

// 0xFFFF when v, read as a signed 16-bit value, is negative; 0 otherwise.
constexpr std::uint16_t negative_mask(std::uint16_t v) noexcept {
    return static_cast<std::uint16_t>(-static_cast<std::int32_t>(v >> 15));
}

// Selects a - q when it is not negative (signed 16-bit reading), else a.
// Requires a < 2q.
constexpr std::uint16_t reduce_once(std::uint16_t a) noexcept {
    const auto t = static_cast<std::uint16_t>(a - Q);
    const std::uint16_t neg = negative_mask(t);
    return static_cast<std::uint16_t>((t & ~neg) | (a & neg));
}

}  // namespace detail

// (a + b) mod q.
constexpr std::uint16_t field_add(std::uint16_t a, std::uint16_t b) noexcept {
    return detail::reduce_once(static_cast<std::uint16_t>(a + b));
}

// (a - b) mod q: t = a - b, plus q when t is negative.
constexpr std::uint16_t field_sub(std::uint16_t a, std::uint16_t b) noexcept {
    const auto t = static_cast<std::uint16_t>(a - b);
    const std::uint16_t neg = detail::negative_mask(t);
    return static_cast<std::uint16_t>(t + (Q & neg));
}

// -a mod q: q - a, or 0 for a = 0.
constexpr std::uint16_t field_neg(std::uint16_t a) noexcept {
    return field_sub(0, a);
}

// c mod q for c < 2^26 (Barrett reduction with 20158 = floor(2^26 / q)).
// The multiplier is rounded down, so t <= floor(c / q) and r lies in [0, 2q).
constexpr std::uint16_t barrett_reduce(std::uint32_t c) noexcept {
    constexpr std::uint64_t kBarrett = 20158;
    const auto t = static_cast<std::uint32_t>((static_cast<std::uint64_t>(c) * kBarrett) >> 26);
    const auto r = static_cast<std::uint16_t>(c - t * Q);
    return detail::reduce_once(r);
}

// a * b mod q; the product is formed in 32 bits (at most 3328^2 < 2^24).
constexpr std::uint16_t field_mul(std::uint16_t a, std::uint16_t b) noexcept {
    return barrett_reduce(static_cast<std::uint32_t>(a) * b);
}

}  // namespace velora::mlkem
