// SampleNTT and SamplePolyCBD. Expected values were computed at authoring
// time with Python's hashlib (SHAKE128 / SHAKE256) and a transcription of
// FIPS 203 Algorithms 7 and 8; the checksum is sum((i + 1) * f[i]) mod 2^32.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "core/mlkem/sampling.hpp"

namespace velora::mlkem {
namespace {

constexpr std::uint32_t kQ = 3329;

std::uint32_t checksum(const Poly& f) {
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < kN; ++i) s += static_cast<std::uint32_t>(i + 1) * f[i];
    return s;
}

std::array<std::uint8_t, 32> counting_bytes(std::uint8_t first) {
    std::array<std::uint8_t, 32> b{};
    for (std::size_t i = 0; i < 32; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

struct Expected {
    std::array<std::uint16_t, 8> head;
    std::uint32_t checksum;
};

void expect_poly(const Poly& f, const Expected& e, const char* what) {
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(f[i], e.head[i]) << what << " coefficient " << i;
    EXPECT_EQ(checksum(f), e.checksum) << what;
}

TEST(MlKemSampling, SampleNttAppendsColumnThenRow) {
    const auto rho = counting_bytes(0);
    const Expected from_rho_01_00{{797, 993, 161, 6, 2608, 2385, 2096, 2661}, 49018713};  // rho || 0x01 || 0x00
    const Expected from_rho_00_01{{2512, 1187, 75, 2259, 2131, 1317, 940, 936}, 54251219};  // rho || 0x00 || 0x01

    expect_poly(sample_ntt(rho, /*j=*/1, /*i=*/0), from_rho_01_00, "sample_ntt(rho, j=1, i=0)");
    expect_poly(sample_ntt(rho, /*j=*/0, /*i=*/1), from_rho_00_01, "sample_ntt(rho, j=0, i=1)");

    // Matrix entry (i, j) at i*k + j comes from rho || j || i.
    const PolyVec a = sample_matrix(rho, 2);
    ASSERT_EQ(a.size(), 4u);
    expect_poly(a[0 * 2 + 1], from_rho_01_00, "A[0][1]");
    expect_poly(a[1 * 2 + 0], from_rho_00_01, "A[1][0]");
    for (const Poly& f : a.polys) {
        for (std::uint16_t c : f.coeffs) ASSERT_LT(c, kQ);
    }
}

TEST(MlKemSampling, NoisePolyIsCbdOfShake256OfSeedAndNonce) {
    const auto seed = counting_bytes(100);
    Poly f;
    sample_noise_poly(f, seed, 7, 2);
    expect_poly(f, {{0, 3328, 0, 1, 3328, 1, 3328, 2}, 32722243}, "eta 2, nonce 7");
    sample_noise_poly(f, seed, 7, 3);
    expect_poly(f, {{1, 2, 0, 1, 3328, 0, 3328, 0}, 34071917}, "eta 3, nonce 7");

    Poly again, other_nonce;
    sample_noise_poly(again, seed, 7, 3);
    sample_noise_poly(other_nonce, seed, 8, 3);
    EXPECT_EQ(again.coeffs, f.coeffs);
    EXPECT_NE(other_nonce.coeffs, f.coeffs);
}

// Algorithm 8 bit by bit, for comparison on arbitrary input bytes.
Poly reference_cbd(const std::vector<std::uint8_t>& b, std::size_t eta) {
    auto bit = [&](std::size_t n) { return static_cast<int>((b[n / 8] >> (n % 8)) & 1); };
    Poly f;
    for (std::size_t i = 0; i < kN; ++i) {
        int x = 0, y = 0;
        for (std::size_t j = 0; j < eta; ++j) {
            x += bit(2 * i * eta + j);
            y += bit(2 * i * eta + eta + j);
        }
        f[i] = static_cast<std::uint16_t>((x - y + static_cast<int>(kQ)) % static_cast<int>(kQ));
    }
    return f;
}

TEST(MlKemSampling, CbdMatchesBitwiseDefinitionAndStaysInRange) {
    std::mt19937 rng(17);
    for (std::size_t eta : {2u, 3u}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::uint8_t> b(64 * eta);
            for (auto& x : b) x = static_cast<std::uint8_t>(rng());
            const Poly f = sample_poly_cbd(b, eta);
            ASSERT_EQ(f.coeffs, reference_cbd(b, eta).coeffs) << "eta " << eta;
            for (std::uint16_t c : f.coeffs) {
                ASSERT_TRUE(c <= eta || c >= kQ - eta) << "eta " << eta << " coefficient " << c;
            }
        }
    }
}

TEST(MlKemSampling, CbdNamedBytePatterns) {
    // eta 2: one byte, two coefficients.
    std::vector<std::uint8_t> b2(128, 0);
    b2[0] = 0xFF;
    b2[1] = 0x03;
    b2[2] = 0x0C;
    b2[3] = 0xC0;
    const Poly f2 = sample_poly_cbd(b2, 2);
    const std::uint16_t want2[8] = {0, 0, 2, 0, 3327, 0, 0, 3327};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(f2[i], want2[i]) << "eta 2 coefficient " << i;

    // eta 3: the six-bit fields 000111 (+3), 111000 (-3), 111111 (0), 000001 (+1).
    const std::uint32_t w = 0x07u | (0x38u << 6) | (0x3Fu << 12) | (0x01u << 18);
    std::vector<std::uint8_t> b3(192, 0);
    b3[0] = static_cast<std::uint8_t>(w);
    b3[1] = static_cast<std::uint8_t>(w >> 8);
    b3[2] = static_cast<std::uint8_t>(w >> 16);
    const Poly f3 = sample_poly_cbd(b3, 3);
    const std::uint16_t want3[5] = {3, 3326, 0, 1, 0};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(f3[i], want3[i]) << "eta 3 coefficient " << i;
}

TEST(MlKemSamplingDeathTest, UnsupportedEtaStopsWithItsValue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto seed = counting_bytes(0);
    Poly f;
    EXPECT_DEATH(sample_noise_poly(f, seed, 0, 4), "unsupported eta value: 4");
}

}  // namespace
}  // namespace velora::mlkem
