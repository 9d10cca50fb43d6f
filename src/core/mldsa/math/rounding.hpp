// Rounding of coefficients (FIPS 204 section 7.4, Algorithms 35 to 40).
// Every function is branch-free on its inputs; division by 2 gamma2 is a
// multiplication by a fixed reciprocal, never a division instruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/poly.hpp"

namespace velora::mldsa {

struct Split {
    std::int32_t high;  // r1
    std::int32_t low;   // r0, signed
};

// Power2Round (Algorithm 35) of canonical r: r = r1 * 2^13 + r0 with
// r0 in (-2^12, 2^12].
constexpr Split power2round(std::int32_t r) noexcept {
    constexpr std::int32_t kHalf = 1 << (kD - 1);
    std::int32_t r0 = r & ((1 << kD) - 1);
    r0 -= (1 << kD) & ((kHalf - r0) >> 31);  // r0 > 2^12: take r0 - 2^13
    return {(r - r0) >> kD, r0};
}

// The two values of gamma2 and what follows from each, as constants: no
// division instruction runs at run time.
inline constexpr std::int32_t kGamma2Small = (Q - 1) / 88;  // ML-DSA-44
inline constexpr std::int32_t kGamma2Large = (Q - 1) / 32;  // ML-DSA-65 and -87

constexpr std::uint64_t reciprocal_2gamma2(std::int32_t gamma2) noexcept {
    const std::uint64_t divisor = 2 * static_cast<std::uint64_t>(gamma2);
    return ((std::uint64_t{1} << 48) + divisor - 1) / divisor;  // ceil(2^48 / (2 gamma2))
}
inline constexpr std::uint64_t kReciprocalSmall = reciprocal_2gamma2(kGamma2Small);
inline constexpr std::uint64_t kReciprocalLarge = reciprocal_2gamma2(kGamma2Large);

// (q - 1) / (2 gamma2): 44 or 16, the number of high-part values.
constexpr std::int32_t high_values(std::int32_t gamma2) noexcept {
    return gamma2 == kGamma2Small ? (Q - 1) / (2 * kGamma2Small) : (Q - 1) / (2 * kGamma2Large);
}

// floor(r / (2 gamma2)) for r in [0, q): r * M >> 48 with M = ceil(2^48 / (2 gamma2)).
// The error r * (M - 2^48 / (2 gamma2)) / 2^48 stays below 2^-25, less than
// the distance 1 / (2 gamma2) of any non-integer quotient to the next integer.
// gamma2 is a public parameter.
constexpr std::int32_t divide_by_2gamma2(std::int32_t r, std::int32_t gamma2) noexcept {
    const std::uint64_t m = gamma2 == kGamma2Small ? kReciprocalSmall : kReciprocalLarge;
    return static_cast<std::int32_t>((static_cast<std::uint64_t>(r) * m) >> 48);
}

// Decompose (Algorithm 36) of canonical r: r = r1 * 2 gamma2 + r0 with r0
// in (-gamma2, gamma2], except that r - r0 = q - 1 gives r1 = 0, r0 - 1.
constexpr Split decompose(std::int32_t r, std::int32_t gamma2) noexcept {
    std::int32_t r1 = divide_by_2gamma2(r, gamma2);
    std::int32_t r0 = r - r1 * 2 * gamma2;  // [0, 2 gamma2)
    const std::int32_t above = (gamma2 - r0) >> 31;  // all ones when r0 > gamma2
    r0 -= (2 * gamma2) & above;
    r1 -= above;  // r1 + 1 then
    // r1 = (q - 1) / (2 gamma2) exactly when r - r0 = q - 1.
    const std::int32_t top = high_values(gamma2);
    const std::int32_t diff = r1 ^ top;
    const std::int32_t is_top = ((diff | -diff) >> 31) ^ -1;  // all ones when r1 == top
    r1 &= ~is_top;
    r0 += is_top;  // minus 1 then
    return {r1, r0};
}

// HighBits, LowBits (Algorithms 37, 38).
constexpr std::int32_t high_bits(std::int32_t r, std::int32_t gamma2) noexcept { return decompose(r, gamma2).high; }
constexpr std::int32_t low_bits(std::int32_t r, std::int32_t gamma2) noexcept { return decompose(r, gamma2).low; }

// MakeHint (Algorithm 39): 1 when HighBits(r) != HighBits(r + z), canonical z and r.
constexpr std::int32_t make_hint(std::int32_t z, std::int32_t r, std::int32_t gamma2) noexcept {
    const std::int32_t diff = high_bits(r, gamma2) ^ high_bits(field_add(r, z), gamma2);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(diff | -diff) >> 31);
}

// UseHint (Algorithm 40). Verification only: its inputs are public.
constexpr std::int32_t use_hint(std::int32_t h, std::int32_t r, std::int32_t gamma2) noexcept {
    const std::int32_t m = high_values(gamma2);
    const Split s = decompose(r, gamma2);
    if (h == 0) return s.high;
    if (s.low > 0) return s.high + 1 == m ? 0 : s.high + 1;
    return s.high == 0 ? m - 1 : s.high - 1;
}

static_assert(power2round(8192 + 4096).high == 1 && power2round(8192 + 4096).low == 4096);
static_assert(power2round(8192 + 4097).high == 2 && power2round(8192 + 4097).low == -4095);
static_assert(decompose(Q - 1, (Q - 1) / 32).high == 0 && decompose(Q - 1, (Q - 1) / 32).low == -1);
static_assert(decompose(Q - 1, (Q - 1) / 88).high == 0 && decompose(Q - 1, (Q - 1) / 88).low == -1);

// Coefficient-wise over polynomials. power2round_poly writes t1 and the
// canonical residue of t0; decompose_poly the high part and the canonical
// residue of the low part.
void power2round_poly(const Poly& t, Poly& t1, Poly& t0) noexcept;
void high_bits_poly(const Poly& w, std::int32_t gamma2, Poly& w1) noexcept;
void low_bits_poly(const Poly& w, std::int32_t gamma2, Poly& r0) noexcept;
// h = MakeHint(z, r) per coefficient; returns the number of ones.
std::size_t make_hint_poly(const Poly& z, const Poly& r, std::int32_t gamma2, Poly& h) noexcept;
void use_hint_poly(const Poly& h, const Poly& r, std::int32_t gamma2, Poly& w1) noexcept;

}  // namespace velora::mldsa
