// Transit Package: one-shot hybrid encryption, ML-KEM + AES-256-GCM.
//
//   capsule (C) || nonce (12) || tag (16) || ciphertext (n)
//
// The ML-KEM shared secret is the AES-256 key as it is (no derivation step);
// the associated data is empty. The level is not recorded in the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"
#include "primitives/aes_gcm.hpp"

namespace velora::hybrid {

using mlkem::LevelIndex;

inline constexpr std::size_t kNonceBytes = primitives::Aes256Gcm::kNonceBytes;  // 12
inline constexpr std::size_t kTagBytes = primitives::Aes256Gcm::kTagBytes;      // 16
inline constexpr std::size_t kOverheadBytes = kNonceBytes + kTagBytes;  // besides the capsule

// Longest plaintext one package can carry: AES-GCM's limit under one nonce
// (SP 800-38D), 2^36 - 32 bytes.
inline constexpr std::uint64_t kMaxPlaintextBytes = primitives::Aes256Gcm::kMaxPlaintextBytes;

inline constexpr std::string_view kPlaintextTooLong =
    "plaintext exceeds the AES-GCM limit of 2^36 - 32 bytes per package";
inline constexpr std::string_view kPackageTooSmall = "Encrypted package too small for the given security level";

// C + 28 + n.
constexpr std::size_t package_size(LevelIndex level, std::size_t plaintext_len) noexcept {
    return mlkem::capsule_size(level) + kOverheadBytes + plaintext_len;
}

// Seals plaintext for the holder of ek into out, which must be exactly
// package_size(level, plaintext.size()) bytes. Checks, in order: the key size
// and the random source (inside encapsulation), the nonce draw, then the
// plaintext length limit; out is only checked and written after all of them,
// so a caller may pass an empty span for an over-long plaintext it could not
// allocate a package for and still get the errors in their proper order.
Result<void> seal_transit_package_into(std::span<const std::uint8_t> ek, std::span<const std::uint8_t> plaintext,
                                       LevelIndex level, std::span<std::uint8_t> out);

// The same, returning a freshly allocated package.
Result<std::vector<std::uint8_t>> seal_transit_package(std::span<const std::uint8_t> ek,
                                                       std::span<const std::uint8_t> plaintext, LevelIndex level);

// Length of the plaintext inside a package of package_len bytes, or
// InvalidParameter "Encrypted package too small ..." below C + 28.
Result<std::size_t> plaintext_size(std::size_t package_len, LevelIndex level);

// Opens package with dk into out, which must be exactly the plaintext_size.
// Checks, in order: the package size, the key size (inside decapsulation),
// then the tag. On any failure out holds zeros, never partial plaintext.
Result<void> open_transit_package_into(std::span<const std::uint8_t> package, std::span<const std::uint8_t> dk,
                                       LevelIndex level, std::span<std::uint8_t> out);

// The same, returning the plaintext in a freshly allocated buffer.
Result<std::vector<std::uint8_t>> open_transit_package(std::span<const std::uint8_t> package,
                                                       std::span<const std::uint8_t> dk, LevelIndex level);

}  // namespace velora::hybrid
