// ML-DSA signing (FIPS 204 Algorithm 7), from the message representative mu.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/error.hpp"
#include "core/mldsa/params.hpp"

namespace velora::mldsa {

// ML-DSA.Sign_internal (Algorithm 7) with mu (step 6) given: the signature,
// sig_size(level) bytes. rnd is 32 random bytes (hedged) or 32 zero bytes
// (deterministic). sk must be sk_size(level) bytes. Fails with
// InvalidParameter when a coefficient of s1 or s2 lies outside [-eta, eta]
// (a key Algorithm 6 cannot produce), or when the rejection loop runs out of
// the 2^16 mask indices (possible only for such a forged key: an honest one
// needs a handful of attempts).
Result<std::vector<std::uint8_t>> sign_mu(std::span<const std::uint8_t> sk, std::span<const std::uint8_t, 64> mu,
                                          std::span<const std::uint8_t, 32> rnd, LevelIndex level);

}  // namespace velora::mldsa
