// NTT and NTT^-1 over canonical coefficients: every butterfly output is
// reduced to [0, q - 1] at once.
#include "core/mldsa/math/ntt.hpp"

#include "core/mldsa/math/avx2.hpp"

namespace velora::mldsa {

namespace scalar {

// Algorithm 41: layers of length 128, 64, ..., 1; zetas[1] .. zetas[255] in order.
void ntt(Poly& w) noexcept {
    std::size_t m = 0;
    for (std::size_t len = 128; len >= 1; len >>= 1) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::int32_t z = kZetasMontgomery[++m];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int32_t t = montgomery_mul(z, w[j + len]);
                w[j + len] = field_sub(w[j], t);
                w[j] = field_add(w[j], t);
            }
        }
    }
}

// Algorithm 42: layers of length 1, 2, ..., 128 with -zetas[255] .. -zetas[1],
// then every coefficient times 256^-1.
void ntt_inverse(Poly& w) noexcept {
    std::size_t m = 256;
    for (std::size_t len = 1; len < kN; len <<= 1) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::int32_t z = field_neg(kZetasMontgomery[--m]);
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int32_t t = w[j];
                w[j] = field_add(t, w[j + len]);
                w[j + len] = montgomery_mul(z, field_sub(t, w[j + len]));
            }
        }
    }
    constexpr std::int32_t kScale = to_montgomery(kInverse256);
    for (std::size_t j = 0; j < kN; ++j) w[j] = montgomery_mul(kScale, w[j]);
}

}  // namespace scalar

void ntt(Poly& w) noexcept {
    if (mlkem::run_native([&] { return avx2::ntt(w); })) return;
    scalar::ntt(w);
}

void ntt_inverse(Poly& w) noexcept {
    if (mlkem::run_native([&] { return avx2::ntt_inverse(w); })) return;
    scalar::ntt_inverse(w);
}

void ntt(std::span<Poly> v) noexcept {
    for (Poly& p : v) ntt(p);
}

void ntt_inverse(std::span<Poly> v) noexcept {
    for (Poly& p : v) ntt_inverse(p);
}

}  // namespace velora::mldsa
