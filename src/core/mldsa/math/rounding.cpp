// Rounding over whole polynomials.
#include "core/mldsa/math/rounding.hpp"

#include "core/mldsa/math/avx2.hpp"

namespace velora::mldsa {

void power2round_poly(const Poly& t, Poly& t1, Poly& t0) noexcept {
    for (std::size_t i = 0; i < kN; ++i) {
        const Split s = power2round(t[i]);
        t1[i] = s.high;
        t0[i] = from_signed(s.low);
    }
}

void high_bits_poly(const Poly& w, std::int32_t gamma2, Poly& w1) noexcept {
    if (mlkem::run_native([&] { return avx2::high_bits(w, gamma2, w1); })) return;
    for (std::size_t i = 0; i < kN; ++i) w1[i] = high_bits(w[i], gamma2);
}

void low_bits_poly(const Poly& w, std::int32_t gamma2, Poly& r0) noexcept {
    if (mlkem::run_native([&] { return avx2::low_bits(w, gamma2, r0); })) return;
    for (std::size_t i = 0; i < kN; ++i) r0[i] = from_signed(low_bits(w[i], gamma2));
}

std::size_t make_hint_poly(const Poly& z, const Poly& r, std::int32_t gamma2, Poly& h) noexcept {
    std::size_t ones = 0;
    if (mlkem::run_native([&] { return avx2::make_hint(z, r, gamma2, h, &ones); })) return ones;
    for (std::size_t i = 0; i < kN; ++i) {
        h[i] = make_hint(z[i], r[i], gamma2);
        ones += static_cast<std::size_t>(h[i]);
    }
    return ones;
}

void use_hint_poly(const Poly& h, const Poly& r, std::int32_t gamma2, Poly& w1) noexcept {
    for (std::size_t i = 0; i < kN; ++i) w1[i] = use_hint(h[i], r[i], gamma2);
}

}  // namespace velora::mldsa
