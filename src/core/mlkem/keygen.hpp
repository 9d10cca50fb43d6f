// ML-KEM key generation (FIPS 203 Algorithms 13 and 16).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/mlkem/params.hpp"

namespace velora::mlkem {

struct KeyPairBytes {
    std::vector<std::uint8_t> ek;  // encapsulation key, ek_size(level) bytes
    std::vector<std::uint8_t> dk;  // decapsulation key, dk_size(level) bytes
};

// ML-KEM.KeyGen_internal(d, z): deterministic; cannot fail.
KeyPairBytes ml_kem_keygen(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z,
                           LevelIndex level);

// Draws d, then z, from the random source and runs ml_kem_keygen.
// Fails with VeloraError::Rng when the source is unavailable.
Result<KeyPairBytes> ml_kem_keygen_random(LevelIndex level);

}  // namespace velora::mlkem
