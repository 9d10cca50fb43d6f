// The secret parts of an ML-KEM private key as the key objects hold them:
// the level, the decapsulation key dk and, where known, the 64-byte seed
// d || z it was generated from. Both buffers are wiped when released.
//
// Every import runs the checks of core/fips203_checks.hpp unless the caller
// asks otherwise; the errors name the level and the check that failed.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"
#include "platform/secret_buffer.hpp"

namespace velora::keys {


inline constexpr std::size_t kSeedBytes = 64;

struct PrivateKeyMaterial {
    mlkem::LevelIndex level = 1;
    SecretBuffer seed;  // empty when the key was imported without its seed
    SecretBuffer dk;

    bool has_seed() const noexcept { return seed.size() == kSeedBytes; }
    // The encapsulation key inside dk.
    std::span<const std::uint8_t> ek() const noexcept;
};

// ML-KEM.KeyGen_internal(seed[0:32], seed[32:64]). InvalidParameter when the
// seed is not 64 bytes.
Result<PrivateKeyMaterial> from_seed(std::span<const std::uint8_t> seed, mlkem::LevelIndex level);

// A fresh seed from the random source (Rng on failure), then from_seed.
Result<PrivateKeyMaterial> generate(mlkem::LevelIndex level);

// A decapsulation key without its seed. InvalidParameter for a wrong size;
// with `check`: the modulus check of the ek inside it, the hash check and the
// pairwise consistency check (KeySerialization naming the failed check).
Result<PrivateKeyMaterial> from_expanded(std::span<const std::uint8_t> dk, mlkem::LevelIndex level, bool check);

// Seed and decapsulation key together (the PKCS#8 `both` form): the seed must
// regenerate exactly dk (always checked, RFC 9935 section 8).
Result<PrivateKeyMaterial> from_seed_and_expanded(std::span<const std::uint8_t> seed,
                                                  std::span<const std::uint8_t> dk, mlkem::LevelIndex level);

// The modulus check of a public key, as an error naming the level
// (KeySerialization), or the size error (InvalidParameter).
Result<void> check_public_key(std::span<const std::uint8_t> ek, mlkem::LevelIndex level);

// A copy of `bytes` in a buffer that is wiped when released.
SecretBuffer copy_secret(std::span<const std::uint8_t> bytes);

}  // namespace velora::keys
