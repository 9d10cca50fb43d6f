// ML-KEM encapsulation (FIPS 203 Algorithms 14 and 17).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/mlkem/params.hpp"

namespace velora::mlkem {

struct EncapsulationResult {
    std::vector<std::uint8_t> capsule;               // capsule_size(level) bytes
    std::array<std::uint8_t, 32> shared_secret{};    // K
};

struct DeterministicEncapsulationResult {
    std::vector<std::uint8_t> capsule;
    std::array<std::uint8_t, 32> shared_secret{};
    std::array<std::uint8_t, 32> m{};                // copy of the caller's message
};

// K-PKE.Encrypt(ek, m, r) into c, which holds exactly 32 * (du * k + dv)
// bytes. ek must hold at least 384*k + 32 bytes. Cannot fail.
void k_pke_encrypt(std::span<const std::uint8_t> ek, std::span<const std::uint8_t, 32> m,
                   std::span<const std::uint8_t, 32> r, const MlKemParams& params, std::span<std::uint8_t> c);

// Size check ("encryption key has incorrect size"), then m from the random source.
Result<EncapsulationResult> ml_kem_encaps(std::span<const std::uint8_t> ek, LevelIndex level);

// Size check ("encryption key publica tiene tamano incorrecto"), then the caller's m.
Result<DeterministicEncapsulationResult> ml_kem_encaps_deterministic(std::span<const std::uint8_t> ek,
                                                                     std::span<const std::uint8_t, 32> m,
                                                                     LevelIndex level);

}  // namespace velora::mlkem
