// NTT, NTT^-1 and NTT-domain products, checked against schoolbook arithmetic
// in Z_q[X] / (X^256 + 1) written directly with % q.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/poly.hpp"
#include "random_poly.hpp"

namespace velora::mlkem {
namespace {

using testing::random_poly;

constexpr std::uint32_t kQ = 3329;

Poly monomial(std::size_t degree) {
    Poly f;
    f[degree] = 1;
    return f;
}

// Negacyclic schoolbook product: X^256 = -1.
Poly schoolbook_multiply(const Poly& a, const Poly& b) {
    std::vector<std::int64_t> acc(kN, 0);
    for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = 0; j < kN; ++j) {
            const std::int64_t p = static_cast<std::int64_t>(a[i]) * b[j];
            if (i + j < kN) acc[i + j] += p;
            else acc[i + j - kN] -= p;
        }
    }
    Poly r;
    for (std::size_t i = 0; i < kN; ++i) {
        r[i] = static_cast<std::uint16_t>(((acc[i] % kQ) + kQ) % kQ);
    }
    return r;
}

Poly ntt_product(Poly a, Poly b) {
    ntt(a);
    ntt(b);
    Poly c = multiply_ntts(a, b);
    ntt_inverse(c);
    return c;
}

std::uint32_t pow_mod(std::uint32_t base, std::uint32_t e) {
    std::uint64_t r = 1;
    for (std::uint32_t i = 0; i < e; ++i) r = r * base % kQ;
    return static_cast<std::uint32_t>(r);
}

std::uint32_t bit_reverse7(std::uint32_t i) {
    std::uint32_t r = 0;
    for (int b = 0; b < 7; ++b) r = (r << 1) | ((i >> b) & 1);
    return r;
}

TEST(MlKemNtt, ZetasAreSeventeenToTheBitReversedIndex) {
    for (std::uint32_t i = 0; i < 128; ++i) {
        EXPECT_EQ(ZETAS[i], pow_mod(17, bit_reverse7(i))) << "i = " << i;
    }
    // First entries of the FIPS 203 Appendix A table.
    const std::uint16_t head[] = {1, 1729, 2580, 3289, 2642, 630, 1897, 848};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(ZETAS[i], head[i]);
}

TEST(MlKemNtt, TransformOfOneIsOneAtEvenPositions) {
    Poly f = monomial(0);
    ntt(f);
    for (std::size_t i = 0; i < kN; ++i) EXPECT_EQ(f[i], i % 2 == 0 ? 1 : 0) << "i = " << i;
    ntt_inverse(f);
    EXPECT_EQ(f.coeffs, monomial(0).coeffs);
}

TEST(MlKemNtt, InverseUndoesForwardExactly) {
    std::mt19937 rng(2031);
    std::vector<Poly> inputs;
    Poly all_max;
    all_max.coeffs.fill(3328);
    inputs.push_back(all_max);
    inputs.push_back(Poly{});
    for (int n = 0; n < 20; ++n) inputs.push_back(random_poly(rng));
    for (const Poly& in : inputs) {
        Poly f = in;
        ntt(f);
        ntt_inverse(f);
        EXPECT_EQ(f.coeffs, in.coeffs);
    }
}

TEST(MlKemNtt, MonomialProducts) {
    struct Case {
        std::size_t a, b;  // degrees of the two monomials
        std::size_t degree;
        std::uint16_t coeff;
    };
    const Case cases[] = {
        {1, 1, 2, 1},        // X * X = X^2
        {255, 1, 0, 3328},   // X^255 * X = X^256 = -1
        {128, 128, 0, 3328}, // X^128 * X^128 = -1
        {0, 200, 200, 1},
    };
    for (const Case& c : cases) {
        Poly want;
        want[c.degree] = c.coeff;
        EXPECT_EQ(ntt_product(monomial(c.a), monomial(c.b)).coeffs, want.coeffs)
            << "X^" << c.a << " * X^" << c.b;
    }
}

TEST(MlKemNtt, ProductOfRandomPolysEqualsSchoolbook) {
    std::mt19937 rng(7);
    for (int n = 0; n < 8; ++n) {
        const Poly a = random_poly(rng), b = random_poly(rng);
        EXPECT_EQ(ntt_product(a, b).coeffs, schoolbook_multiply(a, b).coeffs);
    }
}

TEST(MlKemNtt, InnerProductIsSumOfProducts) {
    std::mt19937 rng(11);
    const std::size_t k = 4;
    std::vector<Poly> a, b;
    Poly want;
    for (std::size_t i = 0; i < k; ++i) {
        a.push_back(random_poly(rng));
        b.push_back(random_poly(rng));
        const Poly p = schoolbook_multiply(a[i], b[i]);
        for (std::size_t j = 0; j < kN; ++j) want[j] = static_cast<std::uint16_t>((want[j] + p[j]) % kQ);
    }
    for (std::size_t i = 0; i < k; ++i) {
        ntt(a[i]);
        ntt(b[i]);
    }
    Poly got = PolyVec::inner_product_ntt(a, b);
    ntt_inverse(got);
    EXPECT_EQ(got.coeffs, want.coeffs);

    // Pairs up to the shorter sequence; empty and zero vectors give zero.
    const Poly first = multiply_ntts(a[0], b[0]);
    EXPECT_EQ(PolyVec::inner_product_ntt(std::span(a).first(1), b).coeffs, first.coeffs);
    EXPECT_EQ(PolyVec::inner_product_ntt({}, {}).coeffs, Poly{}.coeffs);
    const PolyVec z = PolyVec::zero(3);
    EXPECT_EQ(PolyVec::inner_product_ntt(z.polys, z.polys).coeffs, Poly{}.coeffs);
}

TEST(MlKemNtt, AddAndSubAreCoefficientWise) {
    std::mt19937 rng(5);
    const Poly a = random_poly(rng), b = random_poly(rng);
    const Poly s = Poly::add(a, b), d = Poly::sub(a, b);
    for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_EQ(s[i], (a[i] + b[i]) % kQ);
        ASSERT_EQ(d[i], (a[i] + kQ - b[i]) % kQ);
    }
}

}  // namespace
}  // namespace velora::mlkem
