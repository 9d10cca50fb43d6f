// ML-KEM key generation (FIPS 203 Algorithms 13 and 16).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"

namespace velora::mlkem {

struct KeyPairBytes {
    std::vector<std::uint8_t> ek;  // encapsulation key, ek_size(level) bytes
    std::vector<std::uint8_t> dk;  // decapsulation key, dk_size(level) bytes
};

// K-PKE.KeyGen output: ek = ByteEncode_12(t-hat) || rho, dk_pke = ByteEncode_12(s-hat).
struct KPkeKeyPair {
    std::vector<std::uint8_t> ek;      // 384*k + 32 bytes
    std::vector<std::uint8_t> dk_pke;  // 384*k bytes
};

// K-PKE.KeyGen(d) (FIPS 203 Algorithm 13) for rank k and noise width eta1.
KPkeKeyPair k_pke_keygen(std::span<const std::uint8_t, 32> d, std::size_t k, std::size_t eta1);

// ML-KEM.KeyGen_internal(d, z): deterministic; cannot fail.
KeyPairBytes ml_kem_keygen(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z,
                           LevelIndex level);

// Draws d, then z, from the random source and runs ml_kem_keygen.
// Fails with VeloraError::Rng when the source is unavailable.
Result<KeyPairBytes> ml_kem_keygen_random(LevelIndex level);

}  // namespace velora::mlkem
