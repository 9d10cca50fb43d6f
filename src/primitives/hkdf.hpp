// HMAC (RFC 2104) and HKDF (RFC 5869) over SHA-256, SHA-384 and SHA-512,
// through libcrypto's EVP_MAC and EVP_KDF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::primitives {

enum class HashAlgorithm : std::uint8_t { Sha256, Sha384, Sha512 };

constexpr std::size_t hash_bytes(HashAlgorithm h) noexcept {
    return h == HashAlgorithm::Sha256 ? 32 : h == HashAlgorithm::Sha384 ? 48 : 64;
}

// HMAC-Hash(key, message) into tag (hash_bytes(h) bytes). Any key length,
// the empty key included. false on a library failure.
[[nodiscard]] bool hmac(HashAlgorithm h, std::span<const std::uint8_t> key, std::span<const std::uint8_t> message,
                        std::span<std::uint8_t> tag) noexcept;

// HKDF-Extract(salt, ikm) into prk (hash_bytes(h) bytes); an empty salt is
// HashLen zero bytes, as the RFC says.
[[nodiscard]] bool hkdf_extract(HashAlgorithm h, std::span<const std::uint8_t> salt,
                                std::span<const std::uint8_t> ikm, std::span<std::uint8_t> prk) noexcept;

// HKDF-Expand(prk, info, okm.size()), 1 <= okm.size() <= 255 * HashLen.
// libcrypto bounds info (1024 bytes in 3.0): a longer one fails.
[[nodiscard]] bool hkdf_expand(HashAlgorithm h, std::span<const std::uint8_t> prk,
                               std::span<const std::uint8_t> info, std::span<std::uint8_t> okm) noexcept;

// Both steps: HKDF(salt, ikm, info, okm.size()).
[[nodiscard]] bool hkdf(HashAlgorithm h, std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                        std::span<const std::uint8_t> info, std::span<std::uint8_t> okm) noexcept;

}  // namespace velora::primitives
