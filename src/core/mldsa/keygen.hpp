// ML-DSA key generation (FIPS 204 Algorithms 1 and 6) and the consistency
// check of an expanded private key against its own parts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/error.hpp"
#include "core/mldsa/params.hpp"

namespace velora::mldsa {

struct KeyPairBytes {
    std::vector<std::uint8_t> pk;  // pk_size(level) bytes
    std::vector<std::uint8_t> sk;  // sk_size(level) bytes
};

// ML-DSA.KeyGen_internal(xi) (Algorithm 6): deterministic; cannot fail.
KeyPairBytes keygen(std::span<const std::uint8_t, 32> xi, LevelIndex level);

// ML-DSA.KeyGen (Algorithm 1): xi from the random source, then Algorithm 6.
// Fails with VeloraError::Rng when the source is unavailable.
Result<KeyPairBytes> keygen_random(LevelIndex level);

// The public key of an expanded private key (sk_size(level) bytes), after
// checking that the key is one Algorithm 6 can produce from its own parts:
// every coefficient of s1 and s2 within [-eta, eta], t0 equal to the low
// part of A s1 + s2, and tr equal to H(pk). Fails with
// VeloraError::KeySerialization naming the first failed check.
Result<std::vector<std::uint8_t>> public_key_of_expanded(std::span<const std::uint8_t> sk, LevelIndex level);

}  // namespace velora::mldsa
