// HMAC-SHA3-256 (RFC 2104, FIPS 198-1) and HKDF-SHA3-256 (RFC 5869) with one
// output block, over the engine's own SHA3-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::primitives {

inline constexpr std::size_t kHmacSha3BlockBytes = 136;  // SHA3-256 rate
inline constexpr std::size_t kHmacSha3TagBytes = 32;

// HMAC-SHA3-256(key, message). Keys of at most 136 bytes are used as they are
// (zero-padded to the block); a longer key is first hashed, as RFC 2104 says.
// The padded key, both pad blocks and the inner digest are wiped before
// returning.
void hmac_sha3_256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                   std::span<std::uint8_t, kHmacSha3TagBytes> tag) noexcept;

// HKDF-SHA3-256 with L = 32 (a single expand block):
// PRK = HMAC(salt, ikm); OKM = T(1) = HMAC(PRK, info || 0x01).
// The caller owns and wipes `okm`; PRK is wiped here.
void hkdf_sha3_256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                   std::span<const std::uint8_t> info, std::span<std::uint8_t, kHmacSha3TagBytes> okm) noexcept;

}  // namespace velora::primitives
