// Polynomials of R_q = Z_q[X] / (X^256 + 1), canonical coefficients, and the
// coefficient-wise operations of FIPS 204 (section 2.5: vectors are handled
// one polynomial at a time, NTT-domain products coefficient by coefficient).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mldsa/params.hpp"

namespace velora::mldsa {

// 256 coefficients in [0, q - 1], coefficient 0 the constant term. The same
// type holds a polynomial and its NTT (Algorithm 41's order).
struct alignas(32) Poly {
    std::array<std::int32_t, kN> coeffs;

    std::int32_t& operator[](std::size_t i) noexcept { return coeffs[i]; }
    std::int32_t operator[](std::size_t i) const noexcept { return coeffs[i]; }
};

static_assert(sizeof(Poly) == 1024);

// out = a + b, a - b coefficient-wise (out may alias a or b).
void poly_add(const Poly& a, const Poly& b, Poly& out) noexcept;
void poly_sub(const Poly& a, const Poly& b, Poly& out) noexcept;

// out = a o b, the product in T_q (coefficient-wise; section 2.5). out may
// alias a or b.
void poly_pointwise(const Poly& a, const Poly& b, Poly& out) noexcept;

// out += a o b.
void poly_pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept;

// a <- a * 2^32 mod q coefficient-wise: the Montgomery form, with which the
// products below need one reduction instead of two.
void poly_to_montgomery(Poly& a) noexcept;

// out = a o b and out += a o b for b in Montgomery form (poly_to_montgomery).
void poly_pointwise_montgomery(const Poly& a, const Poly& b_montgomery, Poly& out) noexcept;
void poly_pointwise_montgomery_acc(const Poly& a, const Poly& b_montgomery, Poly& out) noexcept;

// out = A-hat o v: out[r] = sum over s of A[r * l + s] o v[s], with
// l = v.size() and out.size() rows.
void matrix_vector_ntt(std::span<const Poly> a_hat, std::span<const Poly> v, std::span<Poly> out) noexcept;

// Whether some coefficient has |a mod+- q| >= bound (the infinity norm of
// section 2.3 against a bound). Branch-free over the coefficients; only the
// one-bit answer is meant to be made public.
bool poly_norm_at_least(const Poly& a, std::int32_t bound) noexcept;
bool polys_norm_at_least(std::span<const Poly> v, std::int32_t bound) noexcept;

// Overwrites the polynomials with zeros in a way the optimiser keeps.
void wipe_polys(std::span<Poly> polys) noexcept;

}  // namespace velora::mldsa
