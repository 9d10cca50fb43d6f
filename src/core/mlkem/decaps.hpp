// ML-KEM decapsulation (FIPS 203 Algorithms 15 and 18) with implicit rejection.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"

namespace velora::mlkem {

// Checks the key size, then the capsule size; a capsule of the right size
// never fails (a tampered one yields J(z || c)).
Result<std::array<std::uint8_t, 32>> ml_kem_decaps(std::span<const std::uint8_t> capsule,
                                                   std::span<const std::uint8_t> dk, LevelIndex level);

}  // namespace velora::mlkem
