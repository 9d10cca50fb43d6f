// ML-KEM parameter sets (FIPS 203, Table 2) and the byte sizes that follow.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velora::mlkem {

// Parameter-set index: 0 = ML-KEM-512, 1 = ML-KEM-768, 2 = ML-KEM-1024.
using LevelIndex = std::uint8_t;

struct MlKemParams {
    std::size_t k;
    std::size_t eta1;
    std::size_t eta2;
    std::size_t du;
    std::size_t dv;
};

constexpr MlKemParams params_for(LevelIndex level) noexcept {
    if (level == 0) return {2, 3, 2, 10, 4};
    if (level == 1) return {3, 2, 2, 10, 4};
    return {4, 2, 2, 11, 5};
}

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kMessageBytes = 32;
inline constexpr std::size_t kPolyBytes = 384;  // ByteEncode_12 of one polynomial
inline constexpr std::uint64_t kCapsuleSizes[3] = {768, 1088, 1568};

constexpr std::size_t ek_size(LevelIndex level) noexcept { return kPolyBytes * params_for(level).k + 32; }
constexpr std::size_t dk_pke_size(LevelIndex level) noexcept { return kPolyBytes * params_for(level).k; }
constexpr std::size_t dk_size(LevelIndex level) noexcept { return 768 * params_for(level).k + 96; }
constexpr std::size_t capsule_size(LevelIndex level) noexcept {
    return static_cast<std::size_t>(kCapsuleSizes[level <= 2 ? level : 2]);
}

static_assert(ek_size(0) == 800 && ek_size(1) == 1184 && ek_size(2) == 1568);
static_assert(dk_size(0) == 1632 && dk_size(1) == 2400 && dk_size(2) == 3168);
static_assert(capsule_size(0) == 32 * (10 * 2 + 4) && capsule_size(2) == 32 * (11 * 4 + 5));

}  // namespace velora::mlkem
