// ML-DSA parameter sets (FIPS 204, Table 1) and the byte sizes that follow
// (Table 2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velora::mldsa {

// Parameter-set index: 0 = ML-DSA-44, 1 = ML-DSA-65, 2 = ML-DSA-87.
using LevelIndex = std::uint8_t;

inline constexpr std::int32_t Q = 8380417;  // 2^23 - 2^13 + 1
inline constexpr std::size_t kN = 256;
inline constexpr std::size_t kD = 13;  // dropped bits of t

struct MlDsaParams {
    std::size_t k;            // rows of A
    std::size_t l;            // columns of A
    std::int32_t eta;         // secret coefficient bound
    std::size_t tau;          // nonzero coefficients of the challenge
    std::int32_t gamma1;      // mask range
    std::int32_t gamma2;      // low-order rounding range
    std::size_t omega;        // most hint ones
    std::size_t lambda;       // collision strength; c-tilde is lambda / 4 bytes
    constexpr std::int32_t beta() const noexcept { return static_cast<std::int32_t>(tau) * eta; }
    constexpr std::size_t ctilde_bytes() const noexcept { return lambda / 4; }
    // Bits per coefficient of z (1 + bitlen(gamma1 - 1)): 18 or 20.
    constexpr std::size_t z_bits() const noexcept { return gamma1 == (1 << 17) ? 18 : 20; }
    // Bits per coefficient of w1 (bitlen((q - 1) / (2 gamma2) - 1)): 6 or 4.
    constexpr std::size_t w1_bits() const noexcept { return gamma2 == (Q - 1) / 88 ? 6 : 4; }
    // Bits per coefficient of s1, s2 (bitlen(2 eta)): 3 or 4.
    constexpr std::size_t eta_bits() const noexcept { return eta == 2 ? 3 : 4; }
};

constexpr MlDsaParams params_for(LevelIndex level) noexcept {
    if (level == 0) return {4, 4, 2, 39, 1 << 17, (Q - 1) / 88, 80, 128};
    if (level == 1) return {6, 5, 4, 49, 1 << 19, (Q - 1) / 32, 55, 192};
    return {8, 7, 2, 60, 1 << 19, (Q - 1) / 32, 75, 256};
}

inline constexpr std::size_t kMaxK = 8;
inline constexpr std::size_t kMaxL = 7;
inline constexpr std::size_t kSeedBytes = 32;  // xi
inline constexpr std::size_t kRndBytes = 32;
inline constexpr std::size_t kMuBytes = 64;
inline constexpr std::size_t kTrBytes = 64;
inline constexpr std::size_t kMaxContextBytes = 255;

// pkEncode: rho || SimpleBitPack(t1, 10 bits) per row.
constexpr std::size_t pk_size(LevelIndex level) noexcept { return 32 + 320 * params_for(level).k; }

// skEncode: rho || K || tr || s1 || s2 || t0 (13 bits per coefficient).
constexpr std::size_t sk_size(LevelIndex level) noexcept {
    const MlDsaParams p = params_for(level);
    return 128 + 32 * ((p.k + p.l) * p.eta_bits() + kD * p.k);
}

// sigEncode: c-tilde || BitPack(z) || HintBitPack(h).
constexpr std::size_t sig_size(LevelIndex level) noexcept {
    const MlDsaParams p = params_for(level);
    return p.ctilde_bytes() + p.l * 32 * p.z_bits() + p.omega + p.k;
}

static_assert(pk_size(0) == 1312 && pk_size(1) == 1952 && pk_size(2) == 2592);
static_assert(sk_size(0) == 2560 && sk_size(1) == 4032 && sk_size(2) == 4896);
static_assert(sig_size(0) == 2420 && sig_size(1) == 3309 && sig_size(2) == 4627);

}  // namespace velora::mldsa
