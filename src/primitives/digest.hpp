// Fixed-length message digests of libcrypto (the SHA-2 family and SHA3-224,
// SHA3-384), for the pre-hash variant of ML-DSA. The engine's own Keccak
// serves SHA3-256, SHA3-512 and the SHAKEs (sha3.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velora::primitives {

enum class Digest : std::uint8_t { Sha224, Sha256, Sha384, Sha512, Sha512_224, Sha512_256, Sha3_224, Sha3_384 };

// The digest length in bytes.
constexpr std::size_t digest_size(Digest d) noexcept {
    switch (d) {
        case Digest::Sha224: case Digest::Sha512_224: case Digest::Sha3_224: return 28;
        case Digest::Sha256: case Digest::Sha512_256: return 32;
        case Digest::Sha384: case Digest::Sha3_384: return 48;
        case Digest::Sha512: return 64;
    }
    return 0;
}

// out (exactly digest_size(d) bytes) = d(message). False when libcrypto
// cannot provide the digest.
[[nodiscard]] bool digest(Digest d, std::span<const std::uint8_t> message, std::span<std::uint8_t> out) noexcept;

}  // namespace velora::primitives
