// The primitives under X-Wing, HPKE and age against their RFCs' published
// values: X25519 (RFC 7748 Section 6.1), HMAC-SHA-256 (RFC 4231 test case 1),
// HKDF-SHA-256 (RFC 5869 test case 1) and ChaCha20-Poly1305 (RFC 8439
// Section 2.8.2); and the STREAM chunk layout of the age payload.
#include <gtest/gtest.h>

#include <string_view>

#include "core/age/age.hpp"
#include "hex.hpp"
#include "primitives/evp_aead.hpp"
#include "primitives/hkdf.hpp"
#include "primitives/x25519.hpp"

namespace {

using velora::testing::array_from_hex;
using velora::testing::from_hex;
using velora::testing::to_hex;
namespace p = velora::primitives;

std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(AgePrimitives, X25519Rfc7748) {
    const auto alice = array_from_hex<32>("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const auto bob = array_from_hex<32>("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    std::array<std::uint8_t, 32> alice_pub{}, bob_pub{}, k1{}, k2{};
    ASSERT_TRUE(p::x25519_public_key(alice, alice_pub));
    ASSERT_TRUE(p::x25519_public_key(bob, bob_pub));
    EXPECT_EQ(to_hex(alice_pub), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    EXPECT_EQ(to_hex(bob_pub), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    ASSERT_TRUE(p::x25519(alice, bob_pub, k1));
    ASSERT_TRUE(p::x25519(bob, alice_pub, k2));
    EXPECT_EQ(to_hex(k1), "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
    EXPECT_EQ(k1, k2);
    // A point of small order (u = 0, u = 1) gives the all-zero result: refused, output zeroed.
    for (int u : {0, 1}) {
        std::array<std::uint8_t, 32> point{}, out{};
        point[0] = static_cast<std::uint8_t>(u);
        out.fill(0xAA);
        EXPECT_FALSE(p::x25519(alice, point, out));
        EXPECT_TRUE(velora::testing::all_zero(out));
    }
}

TEST(AgePrimitives, HmacAndHkdfSha256) {
    std::array<std::uint8_t, 32> tag{};
    const std::vector<std::uint8_t> key(20, 0x0b);
    ASSERT_TRUE(p::hmac(p::HashAlgorithm::Sha256, key, bytes_of("Hi There"), tag));
    EXPECT_EQ(to_hex(tag), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");

    const std::vector<std::uint8_t> ikm(22, 0x0b);
    const auto salt = from_hex("000102030405060708090a0b0c");
    const auto info = from_hex("f0f1f2f3f4f5f6f7f8f9");
    std::array<std::uint8_t, 32> prk{};
    ASSERT_TRUE(p::hkdf_extract(p::HashAlgorithm::Sha256, salt, ikm, prk));
    EXPECT_EQ(to_hex(prk), "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5");
    std::array<std::uint8_t, 42> okm{};
    ASSERT_TRUE(p::hkdf(p::HashAlgorithm::Sha256, salt, ikm, info, okm));
    EXPECT_EQ(to_hex(okm), "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    // The empty salt is HashLen zeros; an over-long output is refused.
    std::array<std::uint8_t, 32> a{}, b{};
    const std::array<std::uint8_t, 32> zeros{};
    ASSERT_TRUE(p::hkdf_extract(p::HashAlgorithm::Sha256, {}, ikm, a));
    ASSERT_TRUE(p::hkdf_extract(p::HashAlgorithm::Sha256, zeros, ikm, b));
    EXPECT_EQ(a, b);
    std::vector<std::uint8_t> too_long(255 * 32 + 1);
    EXPECT_FALSE(p::hkdf_expand(p::HashAlgorithm::Sha256, prk, info, too_long));
}

TEST(AgePrimitives, ChaCha20Poly1305Rfc8439) {
    std::array<std::uint8_t, 32> key{};
    for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(0x80 + i);
    const auto nonce = array_from_hex<12>("070000004041424344454647");
    const auto aad = from_hex("50515253c0c1c2c3c4c5c6c7");
    const auto pt = bytes_of(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen "
        "would be it.");
    auto aead = p::EvpAead::create(p::AeadAlgorithm::ChaCha20Poly1305, key);
    ASSERT_TRUE(aead.has_value());
    std::vector<std::uint8_t> ct(pt.size()), back(pt.size());
    std::array<std::uint8_t, 16> tag{};
    ASSERT_TRUE(aead->seal(nonce, aad, pt, ct, tag));
    EXPECT_EQ(to_hex(std::span(ct).first(16)), "d31a8d34648e60db7b86afbc53ef7ec2");
    EXPECT_EQ(to_hex(tag), "1ae10b594f09e26a7e902ecbd0600691");
    ASSERT_TRUE(aead->open(nonce, aad, ct, tag, back));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), pt.begin()));
    tag[0] ^= 1;
    EXPECT_FALSE(aead->open(nonce, aad, ct, tag, back));
    EXPECT_TRUE(velora::testing::all_zero(back));  // no plaintext released
    EXPECT_FALSE(p::EvpAead::create(p::AeadAlgorithm::Aes128Gcm, key).has_value());  // 16-byte key expected
}

// STREAM: chunk i is sealed under nonce i (11 bytes, big-endian) || last flag,
// checked chunk by chunk with the AEAD itself.
TEST(AgeStream, ChunkNoncesAndFinalFlag) {
    std::array<std::uint8_t, 32> key{};
    key[5] = 9;
    std::vector<std::uint8_t> pt(2 * velora::age::kChunkBytes + 7, 0x61);
    std::vector<std::uint8_t> ct(velora::age::sealed_size(pt.size(), true));
    ASSERT_EQ(ct.size(), pt.size() + 3 * 16);
    ASSERT_TRUE(velora::age::seal_chunks(key, 5, pt, true, ct).has_value());
    auto aead = p::EvpAead::create(p::AeadAlgorithm::ChaCha20Poly1305, key);
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < 3; ++i) {
        std::array<std::uint8_t, 12> nonce{};
        nonce[10] = static_cast<std::uint8_t>(5 + i);
        nonce[11] = i == 2 ? 1 : 0;
        const std::size_t m = i < 2 ? velora::age::kChunkBytes : 7;
        std::vector<std::uint8_t> out(m);
        EXPECT_TRUE(aead->open(nonce, {}, std::span(ct).subspan(pos, m), std::span(ct).subspan(pos + m).first<16>(), out))
            << i;
        pos += m + 16;
    }
    // Opening: the whole payload, then the payload cut at a chunk boundary (no final chunk).
    std::vector<std::uint8_t> out(ct.size());
    auto all = velora::age::open_chunks(key, 5, ct, true, out);
    ASSERT_TRUE(all.has_value());
    EXPECT_TRUE(all->ok && all->finished);
    EXPECT_EQ(all->written, pt.size());
    auto cut = velora::age::open_chunks(key, 5, std::span(ct).first(2 * velora::age::kEncryptedChunkBytes), true, out);
    ASSERT_TRUE(cut.has_value());
    EXPECT_FALSE(cut->ok);
    EXPECT_FALSE(cut->finished);
    EXPECT_EQ(cut->written, 2 * velora::age::kChunkBytes);
}

}  // namespace
