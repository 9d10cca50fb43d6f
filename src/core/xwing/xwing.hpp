// X-Wing, the hybrid KEM of ML-KEM-768 and X25519
// (draft-connolly-cfrg-xwing-kem-10; MLKEM768-X25519, HPKE KEM 0x647a).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace velora::xwing {

inline constexpr std::size_t kSeedBytes = 32;          // decapsulation key
inline constexpr std::size_t kPublicKeyBytes = 1216;   // pk_M (1184) || pk_X (32)
inline constexpr std::size_t kCiphertextBytes = 1120;  // ct_M (1088) || ct_X (32)
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kEncapsSeedBytes = 64;    // eseed: m for ML-KEM || ek_X

// Offsets of the two halves in public keys and ciphertexts.
inline constexpr std::size_t kMlKemPublicKeyBytes = 1184;
inline constexpr std::size_t kMlKemCiphertextBytes = 1088;
inline constexpr std::size_t kX25519Bytes = 32;
static_assert(kMlKemPublicKeyBytes + kX25519Bytes == kPublicKeyBytes);
static_assert(kMlKemCiphertextBytes + kX25519Bytes == kCiphertextBytes);

inline constexpr std::string_view kSeedSize = "X-Wing private key must be 32 bytes";
inline constexpr std::string_view kPublicKeySize = "X-Wing public key must be 1216 bytes";
inline constexpr std::string_view kCiphertextSize = "X-Wing ciphertext must be 1120 bytes";
inline constexpr std::string_view kEncapsSeedSize = "X-Wing encapsulation seed must be 64 bytes";
inline constexpr std::string_view kPublicKeyCheck =
    "X-Wing public key: the ML-KEM-768 encapsulation key fails the modulus check";
inline constexpr std::string_view kX25519Zero = "X-Wing decapsulation: the X25519 shared secret is all zero";

using SharedSecret = std::array<std::uint8_t, kSharedSecretBytes>;

struct Encapsulation {
    std::vector<std::uint8_t> ciphertext;  // kCiphertextBytes
    SharedSecret shared_secret{};
};

// GenerateKeyPairDerand(sk) (draft Section 5.2.1): the public key of a seed.
Result<std::vector<std::uint8_t>> public_key(std::span<const std::uint8_t> seed);

// Encapsulate(pk) (Section 5.4); the ML-KEM half checks its key (FIPS 203
// Section 7.2) and fails with InvalidParameter(kPublicKeyCheck).
Result<Encapsulation> encapsulate(std::span<const std::uint8_t> public_key);

// EncapsulateDerand(pk, eseed) (Section 5.4.1), for known-answer tests.
Result<Encapsulation> encapsulate_derand(std::span<const std::uint8_t> public_key,
                                         std::span<const std::uint8_t> eseed);

// Decapsulate(ct, sk) (Section 5.5). A wrong ciphertext of the right size
// yields an unrelated secret (ML-KEM's implicit rejection), except when its
// X25519 half is a point of small order: libcrypto refuses the all-zero
// X25519 result and so does this function, with Decapsulation(kX25519Zero).
Result<SharedSecret> decapsulate(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> seed);

}  // namespace velora::xwing
