// Arithmetic in Z_q, q = 8380417, on canonical coefficients in [0, q - 1].
//
// Products go through Montgomery reduction (R = 2^32): exact 64-bit
// products, a multiplication by -q^-1 mod 2^32 and a shift; every correction
// is a selection by a mask spread from a sign bit, so no coefficient value
// steers a branch or an index.
#pragma once

#include <cstdint>

#include "core/mldsa/params.hpp"

namespace velora::mldsa {

namespace detail {

// q^-1 mod 2^32 by Newton's iteration (each step doubles the correct bits).
constexpr std::uint32_t inverse_mod_2_32(std::uint32_t a) noexcept {
    std::uint32_t x = a;  // correct to 3 bits for odd a
    for (int i = 0; i < 5; ++i) x *= 2u - a * x;
    return x;
}

constexpr std::uint64_t pow_mod(std::uint64_t base, std::uint64_t e) noexcept {
    std::uint64_t r = 1;
    base %= static_cast<std::uint64_t>(Q);
    while (e != 0) {
        if ((e & 1u) != 0) r = r * base % static_cast<std::uint64_t>(Q);
        base = base * base % static_cast<std::uint64_t>(Q);
        e >>= 1;
    }
    return r;
}

}  // namespace detail

inline constexpr std::uint32_t kQInv = detail::inverse_mod_2_32(static_cast<std::uint32_t>(Q));
inline constexpr std::int32_t kMontR = static_cast<std::int32_t>((std::uint64_t{1} << 32) % Q);  // R mod q
inline constexpr std::int32_t kMontR2 =
    static_cast<std::int32_t>(static_cast<std::uint64_t>(kMontR) * static_cast<std::uint64_t>(kMontR) % Q);

static_assert(static_cast<std::uint32_t>(Q) * kQInv == 1u);

// a + q when a is negative: the sign bit spread into a mask picks q or 0.
constexpr std::int32_t add_q_if_negative(std::int32_t a) noexcept { return a + (Q & (a >> 31)); }

// a - q when a >= q, for a in [0, 2q).
constexpr std::int32_t reduce_once(std::int32_t a) noexcept { return add_q_if_negative(a - Q); }

constexpr std::int32_t field_add(std::int32_t a, std::int32_t b) noexcept { return reduce_once(a + b); }
constexpr std::int32_t field_sub(std::int32_t a, std::int32_t b) noexcept { return add_q_if_negative(a - b); }
constexpr std::int32_t field_neg(std::int32_t a) noexcept { return field_sub(0, a); }

// a * 2^-32 mod q in (-q, q), for |a| < q * 2^31.
constexpr std::int32_t montgomery_reduce(std::int64_t a) noexcept {
    const auto t = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(a)) * kQInv);
    return static_cast<std::int32_t>((a - static_cast<std::int64_t>(t) * Q) >> 32);
}

// a * b * 2^-32 mod q, canonical, for canonical a and b.
constexpr std::int32_t montgomery_mul(std::int32_t a, std::int32_t b) noexcept {
    return add_q_if_negative(montgomery_reduce(static_cast<std::int64_t>(a) * b));
}

// a * b mod q, canonical.
constexpr std::int32_t field_mul(std::int32_t a, std::int32_t b) noexcept {
    return montgomery_mul(montgomery_mul(a, b), kMontR2);
}

// a * R mod q (the Montgomery form of a constant).
constexpr std::int32_t to_montgomery(std::int32_t a) noexcept { return montgomery_mul(a, kMontR2); }

// The canonical residue of x, |x| < q.
constexpr std::int32_t from_signed(std::int32_t x) noexcept { return add_q_if_negative(x); }

// a mod+- q: the representative in [-(q - 1) / 2, (q - 1) / 2] of canonical a.
constexpr std::int32_t centered(std::int32_t a) noexcept {
    // a - q when a > (q - 1) / 2: ((q - 1) / 2 - a) is then negative.
    return a - (Q & (((Q - 1) / 2 - a) >> 31));
}

// |x| without a branch.
constexpr std::int32_t abs_value(std::int32_t x) noexcept {
    const std::int32_t mask = x >> 31;
    return (x ^ mask) - mask;
}

static_assert(montgomery_mul(to_montgomery(5), 7) == 35);
static_assert(field_mul(Q - 1, Q - 1) == 1);
static_assert(centered(Q - 1) == -1 && centered((Q - 1) / 2) == (Q - 1) / 2 && centered((Q + 1) / 2) == -(Q - 1) / 2);

}  // namespace velora::mldsa
