// The password-wrapped secret-key blob:
//
//   offset  width  field
//        0      4  magic "VLPK"
//        4      1  version (1)
//        5      1  level_id (0 = ML-KEM-512, 1 = ML-KEM-768, 2 = ML-KEM-1024)
//        6     16  salt   (HKDF-SHA3-256 salt, fresh per export)
//       22     12  nonce  (AES-256-GCM nonce, fresh per export)
//       34      n  ciphertext of the decapsulation key (n = 768 * level_id + 1632)
//   34 + n     16  GCM tag
//
// The wrapping key is HKDF-SHA3-256(password, salt). There is no work factor:
// the password is used as input keying material as it is, so a blob is only
// as strong as the entropy of its password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"
#include "platform/secret_buffer.hpp"

namespace velora::key_wrap {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'V', 'L', 'P', 'K'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kSaltOffset = 6;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kNonceOffset = 22;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kHeaderBytes = 34;
inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kMinBlobBytes = kHeaderBytes + kTagBytes;  // 50
inline constexpr std::size_t kKeyBytes = 32;                             // AES-256 key
// The HKDF-SHA3-256 info of the wrapping key (18 bytes).
inline constexpr std::array<std::uint8_t, 18> kHkdfInfo = {'v', 'e', 'l', 'o', 'r', 'a', '-', 'k', 'e',
                                                           'y', '-', 'w', 'r', 'a', 'p', '-', 'v', '1'};

// Decapsulation key size for a level id (0, 1, 2).
constexpr std::size_t secret_key_size(std::uint8_t level_id) noexcept { return mlkem::dk_size(level_id); }
constexpr std::size_t blob_size(std::uint8_t level_id) noexcept { return secret_key_size(level_id) + kMinBlobBytes; }

struct UnwrappedSecretKey {
    SecretBuffer secret_key;
    std::uint8_t level_id;
};

// Wraps `secret_key` of level `level_id` under `password`. Draws the salt and
// then the nonce from the random source (Rng on failure), then checks the key
// size (InvalidParameter), derives the key and encrypts. The result is exactly
// blob_size(level_id) bytes.
Result<std::vector<std::uint8_t>> wrap_secret_key_blob(std::span<const std::uint8_t> secret_key,
                                                       std::uint8_t level_id,
                                                       std::span<const std::uint8_t> password);

// Opens a blob. Checks, first failure wins: length >= 50, magic, version,
// level id (KeySerialization); then tag and plaintext size (Decryption).
Result<UnwrappedSecretKey> unwrap_secret_key(std::span<const std::uint8_t> blob,
                                             std::span<const std::uint8_t> password);

}  // namespace velora::key_wrap
