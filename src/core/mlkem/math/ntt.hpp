// The number-theoretic transform of R_q and products in the NTT domain
// (FIPS 203 section 4.3, Algorithms 9 to 12).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/poly.hpp"

namespace velora::mlkem {

namespace detail {

constexpr std::size_t bit_rev7(std::size_t i) noexcept {
    std::size_t r = 0;
    for (std::size_t b = 0; b < 7; ++b) r |= ((i >> b) & 1u) << (6 - b);
    return r;
}

constexpr std::array<std::uint16_t, 128> make_zetas() noexcept {
    std::array<std::uint16_t, 128> z{};
    for (std::size_t i = 0; i < 128; ++i) {
        std::uint16_t p = 1;
        for (std::size_t e = 0; e < bit_rev7(i); ++e) p = field_mul(p, 17);
        z[i] = p;
    }
    return z;
}

}  // namespace detail

// ZETAS[i] = 17^BitRev7(i) mod q, the table of FIPS 203 Appendix A, in plain
// (non-Montgomery) form. Entry 0 is never read.
inline constexpr std::array<std::uint16_t, 128> ZETAS = detail::make_zetas();

static_assert(ZETAS[0] == 1 && ZETAS[1] == 1729 && ZETAS[2] == 2580 && ZETAS[3] == 3289);
static_assert(ZETAS[64] == 17 && ZETAS[65] == 2761 && ZETAS[127] == 2154);

// 128^-1 mod q, the scaling of NTT^-1.
inline constexpr std::uint16_t kInverse128 = 3303;

// NTT (Algorithm 9), in place.
void ntt(Poly& f) noexcept;

// NTT^-1 (Algorithm 10), in place, including the scaling by 128^-1.
void ntt_inverse(Poly& f) noexcept;

struct CoefficientPair {
    std::uint16_t c0;
    std::uint16_t c1;
};

// BaseCaseMultiply (Algorithm 12): (a0 + a1 X)(b0 + b1 X) mod (X^2 - gamma).
constexpr CoefficientPair base_case_multiply(std::uint16_t a0, std::uint16_t a1, std::uint16_t b0, std::uint16_t b1,
                                             std::uint16_t gamma) noexcept {
    return {field_add(field_mul(a0, b0), field_mul(field_mul(a1, b1), gamma)),
            field_add(field_mul(a0, b1), field_mul(a1, b0))};
}

// MultiplyNTTs (Algorithm 11).
Poly multiply_ntts(const Poly& f, const Poly& g) noexcept;

// out = sum over i < min(|a|, |b|) of MultiplyNTTs(a[i], b[i]), the sum
// taken with field_add (exact, so its order does not matter). out must not
// be one of the inputs.
void inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept;

// The matrix-vector product in the NTT domain: out[r] = sum over j < n of
// MultiplyNTTs(rows[r*n + j], y[j]) for every r < out.size(), with
// n = y.size() and rows.size() == out.size() * n (row-major). Each y[j] is
// prepared once for all rows. out must not overlap the inputs.
void multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y, std::span<Poly> out) noexcept;

}  // namespace velora::mlkem
