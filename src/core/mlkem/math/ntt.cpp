// NTT, NTT^-1 and the NTT-domain products (FIPS 203 Algorithms 9 to 11):
// the scalar loops and the entry points that pick them or the AVX2 kernels.
#include "core/mlkem/math/ntt.hpp"

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/scalar.hpp"

namespace velora::mlkem {

namespace scalar {

// Algorithm 9: seven Cooley-Tukey layers, ZETAS[1..127] each used once in order.
void ntt(Poly& f) noexcept {
    std::size_t i = 1;
    for (std::size_t len = 128; len >= 2; len /= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::uint16_t zeta = ZETAS[i++];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::uint16_t t = field_mul(zeta, f[j + len]);
                f[j + len] = field_sub(f[j], t);
                f[j] = field_add(f[j], t);
            }
        }
    }
}

// Algorithm 10: seven Gentleman-Sande layers, ZETAS[127..1] in decreasing
// order, then a separate pass multiplying every coefficient by 128^-1.
void ntt_inverse(Poly& f) noexcept {
    std::size_t i = 127;
    for (std::size_t len = 2; len <= 128; len *= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::uint16_t zeta = ZETAS[i--];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::uint16_t t = f[j];
                f[j] = field_add(t, f[j + len]);
                // zeta * (f[j + len] - t), written as (-zeta) * (t - f[j + len]).
                f[j + len] = field_mul(field_neg(zeta), field_sub(t, f[j + len]));
            }
        }
    }
    for (std::size_t j = 0; j < kN; ++j) f[j] = barrett_reduce(static_cast<std::uint32_t>(f[j]) * kInverse128);
}

// Algorithm 11 for each pair, accumulated with field_add. gamma_p =
// 17^(2 BitRev7(p) + 1) comes from ZETAS: for p = 2m it is ZETAS[64 + m],
// for p = 2m + 1 its negation (2 BitRev7(2m) + 1 = BitRev7(64 + m) and
// 17^128 = -1). Four coefficients per step.
void inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    out = Poly{};
    for (std::size_t i = 0; i < n; ++i) {
        const Poly& f = a[i];
        const Poly& g = b[i];
        for (std::size_t m = 0; m < 64; ++m) {
            const std::uint16_t gamma = ZETAS[64 + m];
            const std::size_t p = 4 * m;
            const CoefficientPair lo = base_case_multiply(f[p], f[p + 1], g[p], g[p + 1], gamma);
            const CoefficientPair hi = base_case_multiply(f[p + 2], f[p + 3], g[p + 2], g[p + 3], field_neg(gamma));
            out[p] = field_add(out[p], lo.c0);
            out[p + 1] = field_add(out[p + 1], lo.c1);
            out[p + 2] = field_add(out[p + 2], hi.c0);
            out[p + 3] = field_add(out[p + 3], hi.c1);
        }
    }
}

void multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y, std::span<Poly> out) noexcept {
    const std::size_t n = y.size();
    for (std::size_t r = 0; r < out.size(); ++r) scalar::inner_product_ntt(rows.subspan(r * n, n), y, out[r]);
}

}  // namespace scalar

void ntt(Poly& f) noexcept {
    if (run_native([&] { return avx2::ntt(f); })) return check_bound(f, Q, "avx2::ntt");
    scalar::ntt(f);
}

void ntt_inverse(Poly& f) noexcept {
    if (run_native([&] { return avx2::ntt_inverse(f); })) return check_bound(f, Q, "avx2::ntt_inverse");
    scalar::ntt_inverse(f);
}

void inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept {
    if (run_native([&] { return avx2::inner_product_ntt(a, b, out); })) {
        return check_bound(out, Q, "avx2::inner_product_ntt");
    }
    scalar::inner_product_ntt(a, b, out);
}

void multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y, std::span<Poly> out) noexcept {
    if (run_native([&] { return avx2::multiply_matrix_vector_ntt(rows, y, out); })) {
        return check_bound(out, Q, "avx2::multiply_matrix_vector_ntt");
    }
    scalar::multiply_matrix_vector_ntt(rows, y, out);
}

Poly multiply_ntts(const Poly& f, const Poly& g) noexcept {
    Poly h;
    inner_product_ntt(std::span(&f, 1), std::span(&g, 1), h);
    return h;
}

Poly PolyVec::inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b) noexcept {
    Poly acc;
    mlkem::inner_product_ntt(a, b, acc);
    return acc;
}

}  // namespace velora::mlkem
