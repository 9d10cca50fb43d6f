// X25519 (RFC 7748) over libcrypto's EVP_PKEY interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::primitives {

inline constexpr std::size_t kX25519Bytes = 32;

// X25519(k, 9): the public key of a private scalar (clamped by X25519 itself).
// false only on a library failure.
[[nodiscard]] bool x25519_public_key(std::span<const std::uint8_t, kX25519Bytes> private_key,
                                     std::span<std::uint8_t, kX25519Bytes> public_key) noexcept;

// X25519(k, u) into shared. false when the result is all zero (u of small
// order: libcrypto refuses it, as RFC 7748 Section 6.1 allows) or on a library
// failure; shared is then zeroed. Whether the result is zero depends only on
// u, which is public: the scalar is a multiple of the cofactor.
[[nodiscard]] bool x25519(std::span<const std::uint8_t, kX25519Bytes> private_key,
                          std::span<const std::uint8_t, kX25519Bytes> peer_public_key,
                          std::span<std::uint8_t, kX25519Bytes> shared) noexcept;

}  // namespace velora::primitives
