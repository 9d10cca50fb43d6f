// HMAC-SHA3-256 and HKDF-SHA3-256. Expected values were computed with
// Python's hmac and hashlib.sha3_256 (an independent implementation).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/key_wrap/key_wrap.hpp"
#include "primitives/hmac_sha3.hpp"
#include "hex.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes repeat(std::uint8_t b, std::size_t n) { return Bytes(n, b); }
Bytes counting(std::size_t from, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(from + i);
    return out;
}
Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string hex(std::span<const std::uint8_t> b) { return velora::testing::to_hex(b); }

struct HmacCase {
    const char* name;
    Bytes key;
    Bytes message;
    const char* tag_hex;
};

class HmacSha3_256 : public ::testing::TestWithParam<HmacCase> {};

TEST_P(HmacSha3_256, MatchesIndependentImplementation) {
    const auto& c = GetParam();
    std::array<std::uint8_t, 32> tag{};
    velora::primitives::hmac_sha3_256(c.key, c.message, tag);
    EXPECT_EQ(hex(tag), c.tag_hex);
}

// The RFC 4231 inputs (cases 1-4 and the 131-byte key of case 6, which is
// still shorter than the 136-byte SHA3-256 block), plus the block-boundary
// keys that decide between padding and hashing.
INSTANTIATE_TEST_SUITE_P(
    Vectors, HmacSha3_256,
    ::testing::Values(
        HmacCase{"rfc4231_1", repeat(0x0b, 20), ascii("Hi There"),
                 "ba85192310dffa96e2a3a40e69774351140bb7185e1202cdcc917589f95e16bb"},
        HmacCase{"rfc4231_2", ascii("Jefe"), ascii("what do ya want for nothing?"),
                 "c7d4072e788877ae3596bbb0da73b887c9171f93095b294ae857fbe2645e1ba5"},
        HmacCase{"rfc4231_3", repeat(0xaa, 20), repeat(0xdd, 50),
                 "84ec79124a27107865cedd8bd82da9965e5ed8c37b0ac98005a7f39ed58a4207"},
        HmacCase{"rfc4231_4", counting(1, 25), repeat(0xcd, 50),
                 "57366a45e2305321a4bc5aa5fe2ef8a921f6af8273d7fe7be6cfedb3f0aea6d7"},
        HmacCase{"rfc4231_6_key131", repeat(0xaa, 131), ascii("Test Using Larger Than Block-Size Key - Hash Key First"),
                 "ed73a374b96c005235f948032f09674a58c0ce555cfc1f223b02356560312c3b"},
        HmacCase{"key_exactly_one_block", counting(0, 136), ascii("Sample message for keylen=blocklen"),
                 "68b94e2e538a9be4103bebb5aa016d47961d4d1aa906061313b557f8af2c3faa"},
        HmacCase{"key_longer_than_block_is_hashed", counting(0, 137), ascii("Sample message for keylen>blocklen"),
                 "770131e089db35530bba7da7928e5d3d04ea38f7a7f62e58a655b03dc5068192"},
        HmacCase{"empty_key_and_message", {}, {},
                 "e841c164e5b4f10c9f3985587962af72fd607a951196fc92fb3a5251941784ea"}),
    [](const auto& p) { return std::string(p.param.name); });

struct HkdfCase {
    const char* name;
    Bytes ikm;
    Bytes salt;
    const char* okm_hex;
};

class HkdfSha3_256 : public ::testing::TestWithParam<HkdfCase> {};

TEST_P(HkdfSha3_256, MatchesIndependentImplementation) {
    const auto& c = GetParam();
    std::array<std::uint8_t, 32> okm{};
    velora::primitives::hkdf_sha3_256(c.ikm, c.salt, velora::key_wrap::kHkdfInfo, okm);
    EXPECT_EQ(hex(okm), c.okm_hex);
}

// OKM = HMAC(HMAC(salt, ikm), "velora-key-wrap-v1" || 0x01).
INSTANTIATE_TEST_SUITE_P(
    Vectors, HkdfSha3_256,
    ::testing::Values(
        HkdfCase{"empty_password_zero_salt", {}, Bytes(16, 0),
                 "7ba40f1883946ab4d6871f303c459f73a24e5e2cdb03e6c363c2bef5a51f1f05"},
        HkdfCase{"password", ascii("correct horse battery staple"), counting(0, 16),
                 "5add33646a3f5dbea4b071aea302e886a7531cce250f816f8e5d64190c317123"},
        HkdfCase{"password_longer_than_block", [] {
                     Bytes b = counting(0, 256);
                     b.insert(b.end(), b.begin(), b.end());
                     return b;
                 }(),
                 counting(0xf0, 16), "7aabcd3c2a7bca3474d82c5e8bd7a9482a0882629a120dd95ac3fcc07904a759"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HkdfSha3_256, EverySaltByteMatters) {
    const Bytes ikm = ascii("pw");
    std::array<std::uint8_t, 16> salt{};
    std::array<std::uint8_t, 32> base{};
    velora::primitives::hkdf_sha3_256(ikm, salt, velora::key_wrap::kHkdfInfo, base);
    for (std::size_t i = 0; i < salt.size(); ++i) {
        auto changed = salt;
        changed[i] ^= 0x80;
        std::array<std::uint8_t, 32> okm{};
        velora::primitives::hkdf_sha3_256(ikm, changed, velora::key_wrap::kHkdfInfo, okm);
        EXPECT_NE(okm, base) << "salt byte " << i;
    }
}

}  // namespace
