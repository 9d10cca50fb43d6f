// Coefficient-wise operations on polynomials.
#include "core/mldsa/math/poly.hpp"

#include <array>

#include "core/mldsa/math/avx2.hpp"
#include "core/mldsa/math/field.hpp"
#include "platform/ct.hpp"

namespace velora::mldsa {

void poly_add(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_add(a[i], b[i]);
}

void poly_sub(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_sub(a[i], b[i]);
}

namespace scalar {

void pointwise(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_mul(a[i], b[i]);
}

void pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_add(out[i], field_mul(a[i], b[i]));
}

void montgomery_form(Poly& a) noexcept {
    for (std::size_t i = 0; i < kN; ++i) a[i] = mldsa::to_montgomery(a[i]);
}

void pointwise_montgomery(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = montgomery_mul(a[i], b[i]);
}

void pointwise_montgomery_acc(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t i = 0; i < kN; ++i) out[i] = field_add(out[i], montgomery_mul(a[i], b[i]));
}

}  // namespace scalar

void poly_to_montgomery(Poly& a) noexcept {
    if (mlkem::run_native([&] { return avx2::montgomery_form(a); })) return;
    scalar::montgomery_form(a);
}

void poly_pointwise_montgomery(const Poly& a, const Poly& b_montgomery, Poly& out) noexcept {
    if (mlkem::run_native([&] { return avx2::pointwise_montgomery(a, b_montgomery, out); })) return;
    scalar::pointwise_montgomery(a, b_montgomery, out);
}

void poly_pointwise_montgomery_acc(const Poly& a, const Poly& b_montgomery, Poly& out) noexcept {
    if (mlkem::run_native([&] { return avx2::pointwise_montgomery_acc(a, b_montgomery, out); })) return;
    scalar::pointwise_montgomery_acc(a, b_montgomery, out);
}

void poly_pointwise(const Poly& a, const Poly& b, Poly& out) noexcept {
    if (mlkem::run_native([&] { return avx2::pointwise(a, b, out); })) return;
    scalar::pointwise(a, b, out);
}

void poly_pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept {
    if (mlkem::run_native([&] { return avx2::pointwise_acc(a, b, out); })) return;
    scalar::pointwise_acc(a, b, out);
}

// v in Montgomery form once, then one reduction per product.
void matrix_vector_ntt(std::span<const Poly> a_hat, std::span<const Poly> v, std::span<Poly> out) noexcept {
    const std::size_t l = v.size();
    std::array<Poly, kMaxL> v_mont;
    for (std::size_t s = 0; s < l; ++s) {
        v_mont[s] = v[s];
        poly_to_montgomery(v_mont[s]);
    }
    for (std::size_t r = 0; r < out.size(); ++r) {
        poly_pointwise_montgomery(a_hat[r * l], v_mont[0], out[r]);
        for (std::size_t s = 1; s < l; ++s) poly_pointwise_montgomery_acc(a_hat[r * l + s], v_mont[s], out[r]);
    }
    wipe_polys(std::span(v_mont).first(l));  // v may be secret (s1, y)
}

bool poly_norm_at_least(const Poly& a, std::int32_t bound) noexcept {
    std::int32_t over = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        // (bound - 1 - |x|) is negative exactly when |x| >= bound.
        over |= (bound - 1 - abs_value(centered(a[i])));
    }
    return ct::value_barrier(static_cast<std::uint8_t>(static_cast<std::uint32_t>(over) >> 31)) != 0;
}

bool polys_norm_at_least(std::span<const Poly> v, std::int32_t bound) noexcept {
    std::uint8_t over = 0;
    for (const Poly& p : v) over = static_cast<std::uint8_t>(over | static_cast<std::uint8_t>(poly_norm_at_least(p, bound)));
    return over != 0;
}

void wipe_polys(std::span<Poly> polys) noexcept { secure_zero(polys.data(), polys.size_bytes()); }

}  // namespace velora::mldsa
