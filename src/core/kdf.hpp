// HMAC-SHA3-256 (RFC 2104, FIPS 198-1) and HKDF-SHA3-256 (RFC 5869) for the
// password-derived key that wraps a stored secret key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace velora::kdf {

inline constexpr std::size_t kHmacBlockBytes = 136;  // SHA3-256 rate
inline constexpr std::size_t kHmacTagBytes = 32;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::string_view kKeyWrapLabel = "velora-key-wrap-v1";  // HKDF info, 18 bytes

// HMAC-SHA3-256(key, message). Keys of at most 136 bytes are used as they are
// (zero-padded to the block); a longer key is first hashed, as RFC 2104 says.
// The padded key, both pad blocks and the inner digest are wiped before
// returning.
void hmac_sha3_256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                   std::span<std::uint8_t, kHmacTagBytes> tag) noexcept;

// HKDF-SHA3-256 with info = "velora-key-wrap-v1" and L = 32:
// PRK = HMAC(salt, ikm); OKM = T(1) = HMAC(PRK, info || 0x01).
// The caller owns and wipes `okm`; PRK is wiped here.
void hkdf_sha3_256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t, kSaltBytes> salt,
                   std::span<std::uint8_t, kKeyBytes> okm) noexcept;

}  // namespace velora::kdf
