// ML-DSA verification (FIPS 204 Algorithm 8), from the message
// representative mu.
#pragma once

#include <cstdint>
#include <span>

#include "core/mldsa/params.hpp"

namespace velora::mldsa {

// ML-DSA.Verify_internal (Algorithm 8) with mu (step 7) given. pk must be
// pk_size(level) bytes; a signature of any other length than
// sig_size(level), or with a malformed hint, is simply invalid.
bool verify_mu(std::span<const std::uint8_t> pk, std::span<const std::uint8_t, 64> mu,
               std::span<const std::uint8_t> sig, LevelIndex level);

}  // namespace velora::mldsa
