// The ML-DSA arithmetic against plain definitions: Montgomery products
// against 64-bit remainders, the rounding functions over every residue
// against their definitions with division and %, and NTT-domain products
// against the schoolbook product in Z_q[X] / (X^256 + 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "core/mldsa/math/avx2.hpp"
#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/ntt.hpp"
#include "core/mldsa/math/packing.hpp"
#include "core/mldsa/math/poly.hpp"
#include "core/mldsa/math/rounding.hpp"

namespace velora::mldsa {
namespace {

std::int32_t mod_q(std::int64_t x) { return static_cast<std::int32_t>(((x % Q) + Q) % Q); }

TEST(MlDsaField, ProductsSumsAndCentring) {
    std::mt19937_64 rng(204);
    std::uniform_int_distribution<std::int32_t> coeff(0, Q - 1);
    for (int n = 0; n < 200000; ++n) {
        const std::int32_t a = n < 4 ? (n & 1 ? Q - 1 : 0) : coeff(rng), b = n < 4 ? (n & 2 ? Q - 1 : 1) : coeff(rng);
        ASSERT_EQ(field_mul(a, b), mod_q(static_cast<std::int64_t>(a) * b)) << a << " " << b;
        ASSERT_EQ(field_add(a, b), mod_q(static_cast<std::int64_t>(a) + b));
        ASSERT_EQ(field_sub(a, b), mod_q(static_cast<std::int64_t>(a) - b));
        const std::int32_t c = centered(a);
        ASSERT_EQ(mod_q(c), a);
        ASSERT_LE(abs_value(c), (Q - 1) / 2);
    }
}

// Decompose by its definition: r0 = r mod+- 2 gamma2, and the q - 1 corner.
Split decompose_by_definition(std::int32_t r, std::int32_t gamma2) {
    std::int32_t r0 = r % (2 * gamma2);
    if (r0 > gamma2) r0 -= 2 * gamma2;
    if (r - r0 == Q - 1) return {0, r0 - 1};
    return {(r - r0) / (2 * gamma2), r0};
}

TEST(MlDsaRounding, EveryResidueAgainstTheDefinitions) {
    for (const std::int32_t gamma2 : {(Q - 1) / 88, (Q - 1) / 32}) {
        for (std::int32_t r = 0; r < Q; ++r) {
            ASSERT_EQ(divide_by_2gamma2(r, gamma2), r / (2 * gamma2)) << r;
            const Split got = decompose(r, gamma2), want = decompose_by_definition(r, gamma2);
            ASSERT_EQ(got.high, want.high) << r;
            ASSERT_EQ(got.low, want.low) << r;
        }
    }
    for (std::int32_t r = 0; r < Q; ++r) {
        std::int32_t r0 = r % (1 << 13);
        if (r0 > (1 << 12)) r0 -= 1 << 13;
        const Split got = power2round(r);
        ASSERT_EQ(got.low, r0) << r;
        ASSERT_EQ(got.high, (r - r0) >> 13) << r;
    }
}

// UseHint recovers HighBits(r + z) from r and MakeHint(z, r) for small z
// (|z| <= gamma2), the property verification rests on.
TEST(MlDsaRounding, HintsRecoverTheHighBits) {
    std::mt19937_64 rng(39);
    for (const std::int32_t gamma2 : {(Q - 1) / 88, (Q - 1) / 32}) {
        std::uniform_int_distribution<std::int32_t> coeff(0, Q - 1), small(-gamma2, gamma2);
        for (int n = 0; n < 200000; ++n) {
            const std::int32_t r = n < 2 ? Q - 1 - n : coeff(rng);
            const std::int32_t z = from_signed(small(rng));
            ASSERT_EQ(use_hint(make_hint(z, r, gamma2), r, gamma2), high_bits(field_add(r, z), gamma2)) << r << " " << z;
        }
    }
}

TEST(MlDsaNtt, ProductsMatchTheSchoolbookNegacyclicProduct) {
    std::mt19937_64 rng(1753);
    std::uniform_int_distribution<std::int32_t> coeff(0, Q - 1);
    for (int n = 0; n < 20; ++n) {
        Poly a, b;
        for (std::size_t i = 0; i < kN; ++i) a[i] = coeff(rng), b[i] = coeff(rng);
        std::array<std::int64_t, kN> want{};
        for (std::size_t i = 0; i < kN; ++i) {
            for (std::size_t j = 0; j < kN; ++j) {
                const std::int64_t p = static_cast<std::int64_t>(a[i]) * b[j] % Q;
                if (i + j < kN) want[i + j] = (want[i + j] + p) % Q;
                else want[i + j - kN] = (want[i + j - kN] - p + Q) % Q;  // X^256 = -1
            }
        }
        Poly a_hat = a, b_hat = b;
        ntt(a_hat);
        ntt(b_hat);
        Poly c;
        poly_pointwise(a_hat, b_hat, c);
        ntt_inverse(c);
        for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(c[i], want[i]) << i;
        Poly round = a;
        ntt(round);
        ntt_inverse(round);
        EXPECT_EQ(round.coeffs, a.coeffs);
    }
}

// The AVX2 kernels against the scalar loops, coefficient for coefficient,
// on random polynomials and on the extremes 0 and q - 1.
TEST(MlDsaSimd, KernelsEqualTheScalarLoops) {
    if (!mlkem::cpu_supports_avx2()) GTEST_SKIP() << "this CPU has no AVX2";
    std::mt19937_64 rng(8380417);
    std::uniform_int_distribution<std::int32_t> coeff(0, Q - 1);
    for (int n = 0; n < 200; ++n) {
        Poly a, b, acc;
        for (std::size_t i = 0; i < kN; ++i) {
            a[i] = n == 0 ? Q - 1 : n == 1 ? 0 : coeff(rng);
            b[i] = n == 0 ? Q - 1 : coeff(rng);
            acc[i] = n == 0 ? Q - 1 : coeff(rng);
        }
        Poly s = a, v = a;
        scalar::ntt(s);
        ASSERT_EQ(avx2::ntt(v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "ntt " << n;
        s = a, v = a;
        scalar::ntt_inverse(s);
        ASSERT_EQ(avx2::ntt_inverse(v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "ntt_inverse " << n;
        ASSERT_EQ(avx2::pointwise(a, b, v), Native::Done);
        scalar::pointwise(a, b, s);
        ASSERT_EQ(v.coeffs, s.coeffs) << "pointwise " << n;
        s = acc, v = acc;
        scalar::pointwise_acc(a, b, s);
        ASSERT_EQ(avx2::pointwise_acc(a, b, v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "pointwise_acc " << n;
        s = a, v = a;
        scalar::montgomery_form(s);
        ASSERT_EQ(avx2::montgomery_form(v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "montgomery_form " << n;
        Poly plain;
        scalar::pointwise(a, b, plain);
        Poly b_mont = b;
        scalar::montgomery_form(b_mont);
        scalar::pointwise_montgomery(a, b_mont, s);
        ASSERT_EQ(s.coeffs, plain.coeffs) << "pointwise_montgomery (scalar) " << n;
        ASSERT_EQ(avx2::pointwise_montgomery(a, b_mont, v), Native::Done);
        ASSERT_EQ(v.coeffs, plain.coeffs) << "pointwise_montgomery " << n;
        s = acc, v = acc;
        scalar::pointwise_montgomery_acc(a, b_mont, s);
        ASSERT_EQ(avx2::pointwise_montgomery_acc(a, b_mont, v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "pointwise_montgomery_acc " << n;
        // SampleInBall's swap at a random public i and secret j <= i.
        const std::size_t i = static_cast<std::size_t>(rng() % kN), j = static_cast<std::size_t>(rng() % (i + 1));
        const std::int32_t sign = n % 2 == 0 ? 1 : Q - 1;
        s = a, v = a;
        scalar::ball_swap(s, i, j, sign);
        ASSERT_EQ(avx2::ball_swap(v, i, j, sign), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs) << "ball_swap " << i << " " << j;
        EXPECT_EQ(s[j], sign);
        if (j != i) {
            EXPECT_EQ(s[i], a[j]);
        }
    }
}

// The AVX2 rounding kernels against the scalar definitions over every
// residue, and MakeHint on random pairs.
TEST(MlDsaSimd, RoundingKernelsOverEveryResidue) {
    if (!mlkem::cpu_supports_avx2()) GTEST_SKIP() << "this CPU has no AVX2";
    std::mt19937_64 rng(88);
    std::uniform_int_distribution<std::int32_t> coeff(0, Q - 1);
    for (const std::int32_t gamma2 : {kGamma2Small, kGamma2Large}) {
        for (std::int32_t base = 0; base < Q; base += static_cast<std::int32_t>(kN)) {
            Poly w, high, low;
            for (std::size_t i = 0; i < kN; ++i) w[i] = std::min(base + static_cast<std::int32_t>(i), Q - 1);
            ASSERT_EQ(avx2::high_bits(w, gamma2, high), Native::Done);
            ASSERT_EQ(avx2::low_bits(w, gamma2, low), Native::Done);
            for (std::size_t i = 0; i < kN; ++i) {
                ASSERT_EQ(high[i], high_bits(w[i], gamma2)) << w[i];
                ASSERT_EQ(low[i], from_signed(low_bits(w[i], gamma2))) << w[i];
            }
        }
        for (int n = 0; n < 100; ++n) {
            Poly z, r, h;
            for (std::size_t i = 0; i < kN; ++i) z[i] = coeff(rng), r[i] = coeff(rng);
            std::size_t ones = 0, want = 0;
            ASSERT_EQ(avx2::make_hint(z, r, gamma2, h, &ones), Native::Done);
            for (std::size_t i = 0; i < kN; ++i) {
                ASSERT_EQ(h[i], make_hint(z[i], r[i], gamma2));
                want += static_cast<std::size_t>(h[i]);
            }
            EXPECT_EQ(ones, want);
        }
    }
}

// Hint encodings that FIPS 204's HintBitUnpack rejects: positions not
// increasing within a row, a running count that goes down or past omega,
// and nonzero bytes after the last used position.
TEST(MlDsaPacking, MalformedHintsAreRejected) {
    constexpr std::size_t kOmega = 80, kK = 4;
    std::array<Poly, kK> h;
    const auto unpack = [&](const std::array<std::uint8_t, kOmega + kK>& in) { return hint_bit_unpack(in, kOmega, h); };
    std::array<std::uint8_t, kOmega + kK> good{};
    good[0] = 3, good[1] = 200, good[2] = 7;
    good[kOmega + 0] = 2, good[kOmega + 1] = 2, good[kOmega + 2] = 3, good[kOmega + 3] = 3;
    ASSERT_TRUE(unpack(good));
    EXPECT_EQ(h[0][3] + h[0][200] + h[2][7], 3);
    auto bad = good;
    bad[1] = 3;  // equal positions in one row
    EXPECT_FALSE(unpack(bad));
    bad = good;
    bad[kOmega + 1] = 1;  // count goes down
    EXPECT_FALSE(unpack(bad));
    bad = good;
    bad[kOmega + 3] = kOmega + 1;  // past omega
    EXPECT_FALSE(unpack(bad));
    bad = good;
    bad[10] = 1;  // a stray byte after the used positions
    EXPECT_FALSE(unpack(bad));
    // A new row may restart below the previous row's last position.
    EXPECT_TRUE(unpack(good));
}

}  // namespace
}  // namespace velora::mldsa
