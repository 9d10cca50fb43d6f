// The ML-KEM private key inside a PKCS#8 privateKey OCTET STRING (RFC 9935
// section 6), a DER CHOICE of three forms:
//
//   seed         [0] IMPLICIT OCTET STRING (SIZE (64))       80 40 <d || z>
//   expandedKey  OCTET STRING (SIZE (dk bytes))              04 82 <len> <dk>
//   both         SEQUENCE { seed OCTET STRING (SIZE (64)),   30 82 <len> 04 40 <seed>
//                           expandedKey OCTET STRING }                   04 82 <len> <dk>
//
// The form is told by the tag alone, never by a length. Lengths are DER
// (definite, minimal), and each must be exactly the level's size.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/mlkem/params.hpp"
#include "platform/error.hpp"
#include "platform/secret_buffer.hpp"

namespace velora::mlkem_key {

enum class Form : std::uint8_t { Seed = 0, Expanded = 1, Both = 2 };

inline constexpr std::size_t kSeedBytes = 64;
inline constexpr std::uint8_t kTagSeed = 0x80;      // [0] IMPLICIT, primitive
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagSequence = 0x30;

// The CHOICE in `form`. `seed` is needed for Seed and Both, `dk` (the level's
// size) for Expanded and Both. The result holds key material.
SecretBuffer encode(Form form, std::span<const std::uint8_t> seed, std::span<const std::uint8_t> dk,
                              mlkem::LevelIndex level);

// Size of encode's output.
std::size_t encoded_size(Form form, mlkem::LevelIndex level) noexcept;

// The parts of a decoded CHOICE, as views into the input: `seed` is empty
// for Expanded, `dk` empty for Seed.
struct Decoded {
    Form form;
    std::span<const std::uint8_t> seed;
    std::span<const std::uint8_t> dk;
};

// Reads the CHOICE for `level` from exactly `der` (no trailing bytes).
// KeySerialization errors name what is wrong. The tag and length octets are
// framing and are declassified for the constant-time checker; the contents
// are never branched on.
Result<Decoded> decode(std::span<const std::uint8_t> der, mlkem::LevelIndex level);

}  // namespace velora::mlkem_key
