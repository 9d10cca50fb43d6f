// X25519 (RFC 7748) over libcrypto's EVP_PKEY interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct evp_pkey_st;  // libcrypto's EVP_PKEY

namespace velora::primitives {

inline constexpr std::size_t kX25519Bytes = 32;

// One private scalar for many X25519 operations. libcrypto computes the
// public key when it makes the key object, so a caller that uses one scalar
// with many peers (an age identity over many stanzas) makes this once: one
// scalar multiplication per peer instead of two.
class X25519Scalar {
public:
    explicit X25519Scalar(std::span<const std::uint8_t, kX25519Bytes> private_key) noexcept;
    ~X25519Scalar();
    X25519Scalar(const X25519Scalar&) = delete;
    X25519Scalar& operator=(const X25519Scalar&) = delete;

    // false when libcrypto could not make the key object.
    [[nodiscard]] bool valid() const noexcept { return key_ != nullptr; }
    // X25519(k, 9).
    [[nodiscard]] bool public_key(std::span<std::uint8_t, kX25519Bytes> out) const noexcept;
    // X25519(k, u) into shared, as x25519() below.
    [[nodiscard]] bool derive(std::span<const std::uint8_t, kX25519Bytes> peer_public_key,
                              std::span<std::uint8_t, kX25519Bytes> shared) const noexcept;

private:
    evp_pkey_st* key_;
};

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
