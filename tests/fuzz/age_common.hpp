// Fixed keys and inputs shared by the age and HPKE fuzz targets and their seeds.
#pragma once

#include <array>
#include <cstdint>

#include "core/hpke/hpke.hpp"
#include "fuzz_common.hpp"

namespace velora::fuzz {

// The payload key of the age payload target; the file key of the stanza target.
inline constexpr std::array<std::uint8_t, 32> kPayloadKey = {
    0x50, 0x61, 0x79, 0x6c, 0x6f, 0x61, 0x64, 0x20, 0x6b, 0x65, 0x79, 0x20, 0x66, 0x6f, 0x72, 0x20,
    0x66, 0x75, 0x7a, 0x7a, 0x69, 0x6e, 0x67, 0x20, 0x74, 0x68, 0x65, 0x20, 0x61, 0x67, 0x65, 0x21};
inline constexpr std::array<std::uint8_t, 16> kFileKey = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// The X25519 identity and the X-Wing seed of the stanza target.
inline constexpr std::array<std::uint8_t, 32> kX25519Identity = {
    0x77, 0x07, 0x6d, 0x0a, 0x73, 0x18, 0xa5, 0x7d, 0x3c, 0x16, 0xc1, 0x72, 0x51, 0xb2, 0x66, 0x45,
    0xdf, 0x4c, 0x2f, 0x87, 0xeb, 0xc0, 0x99, 0x2a, 0xb1, 0x77, 0xfb, 0xa5, 0x1d, 0xb9, 0x2c, 0x2a};
inline constexpr std::array<std::uint8_t, 32> kHybridIdentity = {
    0x7f, 0x9c, 0x2b, 0xa4, 0xe8, 0x8f, 0x82, 0x7d, 0x61, 0x60, 0x45, 0x50, 0x76, 0x05, 0x85, 0x3e,
    0xd7, 0x3b, 0x80, 0x93, 0xf6, 0xef, 0xbc, 0x88, 0xeb, 0x1a, 0x6e, 0xac, 0xfa, 0x66, 0xef, 0x26};
inline constexpr std::array<std::uint8_t, 8> kPassphrase = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};

// HPKE: the suites the target picks from (every KEM, KDF and sealing AEAD)
// and a private key per KEM, derived from a fixed ikm.
inline constexpr std::array<hpke::Kem, 4> kHpkeKems = {hpke::Kem::DhKemX25519, hpke::Kem::MlKem768,
                                                       hpke::Kem::MlKem1024, hpke::Kem::XWing};
inline hpke::Suite hpke_suite_from(std::uint8_t b) {
    return {kHpkeKems[b % 4], static_cast<hpke::Kdf>(1 + (b / 4) % 3), static_cast<hpke::Aead>(1 + (b / 12) % 3)};
}
inline const hpke::KeyPair& hpke_keys(hpke::Kem kem) {
    static const std::array<hpke::KeyPair, 4> keys = [] {
        std::array<hpke::KeyPair, 4> k;
        const std::array<std::uint8_t, 32> ikm = {'f', 'u', 'z', 'z'};
        for (std::size_t i = 0; i < 4; ++i) k[i] = *hpke::derive_key_pair(kHpkeKems[i], ikm);
        return k;
    }();
    for (std::size_t i = 0; i < 4; ++i) {
        if (kHpkeKems[i] == kem) return keys[i];
    }
    return keys[0];
}

}  // namespace velora::fuzz
