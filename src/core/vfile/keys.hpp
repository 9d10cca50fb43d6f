// The key schedule of velora files, version 2 (docs/file-format.md): HKDF-SHA-256
// derivations, the header's HMAC-SHA-256, and the AES-256-GCM wrap of the
// 32-byte file key in each recipient entry (zero nonce: every wrap key is used once).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/error.hpp"

namespace velora::vfile {

inline constexpr std::size_t kFileKeyBytes = 32;
inline constexpr std::size_t kWrappedBytes = kFileKeyBytes + 16;
inline constexpr std::string_view kKeyLibraryFailure = "velora file: libcrypto failure in the key schedule";
inline constexpr std::string_view kWrapSize = "velora file: a wrap key, file key or wrapped key has the wrong size";

using Key32 = std::array<std::uint8_t, 32>;

// HKDF-SHA-256(ikm, salt, info), 32 bytes; an empty salt is HKDF's default (32 zero bytes).
Result<Key32> derive(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                     std::span<const std::uint8_t> info);

// HMAC-SHA-256(key, message).
Result<Key32> mac(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);

// AES-256-GCM(wrap key, 12 zero bytes, file key, aad): ciphertext || tag.
Result<std::array<std::uint8_t, kWrappedBytes>> wrap(std::span<const std::uint8_t> wrap_key,
                                                     std::span<const std::uint8_t> aad,
                                                     std::span<const std::uint8_t> file_key);

// The file key if `wrapped` opens under wrap_key and aad (matched = false otherwise).
struct Unwrapped {
    bool matched = false;
    Key32 file_key{};
    ~Unwrapped();
};
Result<Unwrapped> unwrap(std::span<const std::uint8_t> wrap_key, std::span<const std::uint8_t> aad,
                         std::span<const std::uint8_t> wrapped);

}  // namespace velora::vfile
