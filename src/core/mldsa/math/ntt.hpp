// The number-theoretic transform of R_q (FIPS 204 section 7.5, Algorithms
// 41 and 42).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/poly.hpp"

namespace velora::mldsa {

namespace detail {

constexpr std::size_t bit_rev8(std::size_t i) noexcept {
    std::size_t r = 0;
    for (std::size_t b = 0; b < 8; ++b) r |= ((i >> b) & 1u) << (7 - b);
    return r;
}

// zetas[m] = 1753^BitRev8(m) mod q (Appendix B), in Montgomery form.
constexpr std::array<std::int32_t, 256> make_zetas_montgomery() noexcept {
    std::array<std::int32_t, 256> z{};
    for (std::size_t m = 0; m < 256; ++m) {
        z[m] = to_montgomery(static_cast<std::int32_t>(pow_mod(1753, bit_rev8(m))));
    }
    return z;
}

}  // namespace detail

// Plain zeta^BitRev8(m) mod q, for the tests and the table check below.
constexpr std::int32_t zeta_plain(std::size_t m) noexcept {
    return static_cast<std::int32_t>(detail::pow_mod(1753, detail::bit_rev8(m)));
}

inline constexpr std::array<std::int32_t, 256> kZetasMontgomery = detail::make_zetas_montgomery();

// Entries of the table in Appendix B of FIPS 204.
static_assert(zeta_plain(1) == 4808194 && zeta_plain(2) == 3765607 && zeta_plain(3) == 3761513);

// 256^-1 mod q, the scaling of NTT^-1.
inline constexpr std::int32_t kInverse256 = 8347681;
static_assert(static_cast<std::int64_t>(kInverse256) * 256 % Q == 1);

// NTT (Algorithm 41), in place.
void ntt(Poly& w) noexcept;
void ntt(std::span<Poly> v) noexcept;

// NTT^-1 (Algorithm 42), in place, with the scaling by 256^-1.
void ntt_inverse(Poly& w) noexcept;
void ntt_inverse(std::span<Poly> v) noexcept;

}  // namespace velora::mldsa
