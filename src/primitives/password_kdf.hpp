// Password-based key derivation over libcrypto's EVP_KDF: scrypt (RFC 7914)
// and PBKDF2-HMAC-SHA256 (RFC 8018). Callers bound the cost parameters they
// accept before calling; these functions only derive.
#pragma once

#include <cstdint>
#include <span>

namespace velora::primitives {

// scrypt(password, salt, N, r, p) into out. N must be a power of two > 1.
// false when libcrypto refuses the parameters or runs out of memory.
[[nodiscard]] bool scrypt(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                          std::uint64_t n, std::uint32_t r, std::uint32_t p, std::span<std::uint8_t> out) noexcept;

// PBKDF2 with HMAC-SHA256 as its PRF, `iterations` >= 1, into out.
[[nodiscard]] bool pbkdf2_hmac_sha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                                      std::uint32_t iterations, std::span<std::uint8_t> out) noexcept;

}  // namespace velora::primitives
