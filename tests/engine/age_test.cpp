// The age v1 cryptography of core/age against the format as c2sp.org/age
// writes it, composed here from the primitives (each checked against its
// RFC's published values in test_age_primitives.cpp and test_primitives.cpp):
// stanzas built here open in the engine and the engine's open here, the
// header MAC and payload key are recomputed, and the STREAM payload is sealed
// chunk by chunk here and opened there, damaged in the ways a hostile file
// can be.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/age/age.hpp"
#include "core/hpke/hpke.hpp"
#include "hex.hpp"
#include "primitives/evp_aead.hpp"
#include "primitives/hkdf.hpp"
#include "primitives/password_kdf.hpp"
#include "primitives/x25519.hpp"

namespace velora::age {
namespace {

namespace p = primitives;
using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) { return {s.begin(), s.end()}; }
Bytes cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

constexpr FileKey kFileKey = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                              0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

Bytes hkdf256(const Bytes& salt, std::span<const std::uint8_t> ikm, std::string_view info) {
    Bytes out(32);
    EXPECT_TRUE(p::hkdf(p::HashAlgorithm::Sha256, salt, ikm, text(info), out));
    return out;
}

// ChaCha20-Poly1305 with the all-zero nonce: every stanza body.
std::array<std::uint8_t, kBodyBytes> seal_body(const Bytes& key, std::span<const std::uint8_t> file_key) {
    auto aead = p::EvpAead::create(p::AeadAlgorithm::ChaCha20Poly1305, key);
    std::array<std::uint8_t, kBodyBytes> body{};
    const std::array<std::uint8_t, 12> nonce{};
    EXPECT_TRUE(aead->seal(nonce, {}, file_key, std::span(body).first<kFileKeyBytes>(),
                           std::span(body).subspan<kFileKeyBytes, kTagBytes>()));
    return body;
}

bool open_body(const Bytes& key, std::span<const std::uint8_t, kBodyBytes> body, FileKey& out) {
    auto aead = p::EvpAead::create(p::AeadAlgorithm::ChaCha20Poly1305, key);
    const std::array<std::uint8_t, 12> nonce{};
    return aead->open(nonce, {}, body.first<kFileKeyBytes>(), body.subspan<kFileKeyBytes, kTagBytes>(), out);
}

std::array<std::uint8_t, 32> x25519_public(const std::array<std::uint8_t, 32>& sk) {
    std::array<std::uint8_t, 32> pk{};
    EXPECT_TRUE(p::x25519_public_key(sk, pk));
    return pk;
}

// ---- X25519 recipients ------------------------------------------------------------

// wrap key = HKDF-SHA-256(ikm = X25519(e, R), salt = share || R, "age-encryption.org/v1/X25519").
Bytes x25519_wrap_key(const std::array<std::uint8_t, 32>& secret, std::span<const std::uint8_t, 32> peer,
                      const Bytes& share, const Bytes& recipient) {
    std::array<std::uint8_t, 32> shared{};
    EXPECT_TRUE(p::x25519(secret, peer, shared));
    return hkdf256(cat(share, recipient), shared, "age-encryption.org/v1/X25519");
}

TEST(AgeX25519, EngineStanzaOpensByTheFormat) {
    std::array<std::uint8_t, 32> identity{};
    identity[0] = 0x42;
    identity[31] = 0x17;
    const auto recipient = x25519_public(identity);
    const auto stanza = wrap_x25519(kFileKey, recipient);
    ASSERT_TRUE(stanza.has_value());
    ASSERT_EQ(stanza->argument.size(), kX25519Bytes);
    const Bytes key = x25519_wrap_key(identity, std::span<const std::uint8_t, 32>(stanza->argument.data(), 32),
                                      stanza->argument, Bytes(recipient.begin(), recipient.end()));
    FileKey opened{};
    ASSERT_TRUE(open_body(key, stanza->body, opened));
    EXPECT_EQ(opened, kFileKey);
}

TEST(AgeX25519, StanzaOfTheFormatOpensInTheEngine) {
    std::array<std::uint8_t, 32> identity{}, ephemeral{};
    identity.fill(0x21);
    ephemeral.fill(0x35);
    const auto recipient = x25519_public(identity);
    const auto share = x25519_public(ephemeral);
    const Bytes share_b(share.begin(), share.end());
    const auto body = seal_body(x25519_wrap_key(ephemeral, recipient, share_b, Bytes(recipient.begin(), recipient.end())),
                                kFileKey);

    const auto got = unwrap_x25519(identity, share, body);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->matched);
    EXPECT_EQ(got->file_key, kFileKey);

    // Another identity, a changed share or body: no match (not an error).
    std::array<std::uint8_t, 32> other = identity;
    other[3] ^= 1;
    auto bad_body = body;
    bad_body[kBodyBytes - 1] ^= 1;
    auto bad_share = share;
    bad_share[0] ^= 1;
    for (const auto& r : {unwrap_x25519(other, share, body), unwrap_x25519(identity, share, bad_body),
                          unwrap_x25519(identity, bad_share, body)}) {
        ASSERT_TRUE(r.has_value());
        EXPECT_FALSE(r->matched);
    }
}

TEST(AgeX25519, RefusesLowOrderSharesAndWrongSizes) {
    std::array<std::uint8_t, 32> identity{};
    identity.fill(0x21);
    const std::array<std::uint8_t, kBodyBytes> body{};
    // u = 0 and u = 1 are of small order: the shared secret is all zero.
    for (const std::uint8_t u : {std::uint8_t{0}, std::uint8_t{1}}) {
        std::array<std::uint8_t, 32> share{};
        share[0] = u;
        const auto r = unwrap_x25519(identity, share, body);
        ASSERT_FALSE(r.has_value()) << int(u);
        EXPECT_EQ(r.error().message, kX25519ZeroSecret);
    }
    const std::array<std::uint8_t, 32> share = x25519_public(identity);
    const auto short_share = unwrap_x25519(identity, std::span(share).first(31), body);
    ASSERT_FALSE(short_share.has_value());
    EXPECT_EQ(short_share.error().message, kStanzaSize);
    const auto short_body = unwrap_x25519(identity, share, std::span(body).first(kBodyBytes - 1));
    ASSERT_FALSE(short_body.has_value());
    EXPECT_EQ(short_body.error().message, kStanzaSize);
    const auto short_key = wrap_x25519(std::span(kFileKey).first(15), share);
    ASSERT_FALSE(short_key.has_value());
    EXPECT_EQ(short_key.error().message, kFileKeySize);
}

// ---- scrypt passphrases -------------------------------------------------------------

// wrap key = scrypt(passphrase, "age-encryption.org/v1/scrypt" || salt, N = 2^log_n, r = 8, p = 1).
Bytes scrypt_wrap_key(const Bytes& passphrase, const Bytes& salt, unsigned log_n) {
    Bytes key(32);
    EXPECT_TRUE(p::scrypt(passphrase, cat(text("age-encryption.org/v1/scrypt"), salt), std::uint64_t{1} << log_n, 8,
                          1, key));
    return key;
}

TEST(AgeScrypt, BothWaysWithTheFormat) {
    const Bytes pass = text("correct horse battery staple");
    const auto stanza = wrap_scrypt(kFileKey, pass, 10);
    ASSERT_TRUE(stanza.has_value());
    ASSERT_EQ(stanza->argument.size(), kScryptSaltBytes);
    FileKey opened{};
    ASSERT_TRUE(open_body(scrypt_wrap_key(pass, stanza->argument, 10), stanza->body, opened));
    EXPECT_EQ(opened, kFileKey);

    const Bytes salt(kScryptSaltBytes, 0x5c);
    const auto body = seal_body(scrypt_wrap_key(pass, salt, 9), kFileKey);
    const auto got = unwrap_scrypt(pass, salt, 9, body);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->matched);
    EXPECT_EQ(got->file_key, kFileKey);
    // The work factor is part of the key: the same stanza under 2^10 does not match.
    const auto other_n = unwrap_scrypt(pass, salt, 10, body);
    ASSERT_TRUE(other_n.has_value());
    EXPECT_FALSE(other_n->matched);
    const auto wrong = unwrap_scrypt(text("correct horse battery stapler"), salt, 9, body);
    ASSERT_TRUE(wrong.has_value());
    EXPECT_FALSE(wrong->matched);
}

TEST(AgeScrypt, RefusesWorkFactorsOutOfRangeAndWrongSalts) {
    const Bytes pass = text("pw");
    const std::array<std::uint8_t, kBodyBytes> body{};
    for (unsigned log_n : {0u, kMaxScryptLogN + 1}) {
        const auto w = wrap_scrypt(kFileKey, pass, log_n);
        ASSERT_FALSE(w.has_value()) << log_n;
        EXPECT_EQ(w.error().message, kScryptWorkFactor);
        const auto u = unwrap_scrypt(pass, Bytes(kScryptSaltBytes), log_n, body);
        ASSERT_FALSE(u.has_value()) << log_n;
        EXPECT_EQ(u.error().message, kScryptWorkFactor);
    }
    for (std::size_t salt_size : {kScryptSaltBytes - 1, kScryptSaltBytes + 1}) {
        const auto u = unwrap_scrypt(pass, Bytes(salt_size), 4, body);
        ASSERT_FALSE(u.has_value()) << salt_size;
        EXPECT_EQ(u.error().message, kStanzaSize);
    }
}

// ---- mlkem768x25519 recipients ------------------------------------------------------

constexpr hpke::Suite kHybridSuite{hpke::Kem::XWing, hpke::Kdf::HkdfSha256, hpke::Aead::ChaCha20Poly1305};
constexpr std::string_view kHybridInfo = "age-encryption.org/mlkem768x25519";

TEST(AgeHybrid, IsHpkeWithTheAgeInfo) {
    // HPKE itself meets its published vectors in hpke_test.cpp.
    const auto pair = hpke::derive_key_pair(hpke::Kem::XWing, Bytes(32, 0x77));
    ASSERT_TRUE(pair.has_value());
    ASSERT_EQ(pair->private_key.size(), kHybridIdentityBytes);
    ASSERT_EQ(pair->public_key.size(), kHybridRecipientBytes);

    const auto stanza = wrap_hybrid(kFileKey, pair->public_key);
    ASSERT_TRUE(stanza.has_value());
    ASSERT_EQ(stanza->argument.size(), kHybridEncBytes);
    const auto opened = hpke::open(kHybridSuite, pair->private_key, stanza->argument, text(kHybridInfo), {},
                                   stanza->body);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, Bytes(kFileKey.begin(), kFileKey.end()));

    const auto sealed = hpke::seal(kHybridSuite, pair->public_key, text(kHybridInfo), {}, kFileKey);
    ASSERT_TRUE(sealed.has_value());
    const auto got = unwrap_hybrid(pair->private_key, sealed->enc, sealed->ciphertext);
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(got->matched);
    EXPECT_EQ(got->file_key, kFileKey);

    // Sealed under another info string (the X25519 label): no match.
    const auto other = hpke::seal(kHybridSuite, pair->public_key, text("age-encryption.org/v1/X25519"), {}, kFileKey);
    ASSERT_TRUE(other.has_value());
    const auto miss = unwrap_hybrid(pair->private_key, other->enc, other->ciphertext);
    ASSERT_TRUE(miss.has_value());
    EXPECT_FALSE(miss->matched);
    const auto short_enc = unwrap_hybrid(pair->private_key, std::span(sealed->enc).first(kHybridEncBytes - 1),
                                         sealed->ciphertext);
    ASSERT_FALSE(short_enc.has_value());
    EXPECT_EQ(short_enc.error().message, kStanzaSize);
}

// ---- header MAC and payload key ---------------------------------------------------------

TEST(AgeKeys, HeaderMacAndPayloadKeyByTheFormat) {
    const Bytes header = text("age-encryption.org/v1\n-> X25519 AAAA\nBBBB\n---");
    const auto mac = header_mac(kFileKey, header);
    ASSERT_TRUE(mac.has_value());
    // HMAC-SHA-256(key = HKDF-SHA-256(ikm = file key, salt = empty, "header"), header).
    Bytes expected(32);
    ASSERT_TRUE(p::hmac(p::HashAlgorithm::Sha256, hkdf256({}, kFileKey, "header"), header, expected));
    EXPECT_EQ(Bytes(mac->begin(), mac->end()), expected);
    Bytes changed = header;
    changed[25] ^= 1;
    const auto other = header_mac(kFileKey, changed);
    ASSERT_TRUE(other.has_value());
    EXPECT_NE(*other, *mac);

    // HKDF-SHA-256(ikm = file key, salt = nonce, "payload").
    const Bytes nonce = testing::from_hex("000102030405060708090a0b0c0d0e0f");
    const auto key = payload_key(kFileKey, nonce);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(Bytes(key->begin(), key->end()), hkdf256(nonce, kFileKey, "payload"));
    const auto short_nonce = payload_key(kFileKey, std::span(nonce).first(15));
    EXPECT_FALSE(short_nonce.has_value());
}

// ---- the STREAM payload -----------------------------------------------------------------

// Chunk i under nonce i (11 bytes, big-endian) || final flag, built here.
Bytes seal_chunk(const PayloadKey& key, std::uint64_t i, const Bytes& pt, bool final) {
    auto aead = p::EvpAead::create(p::AeadAlgorithm::ChaCha20Poly1305, key);
    std::array<std::uint8_t, 12> nonce{};
    for (int b = 0; b < 8; ++b) nonce[10 - b] = static_cast<std::uint8_t>(i >> (8 * b));
    nonce[11] = final ? 1 : 0;
    Bytes out(pt.size() + kTagBytes);
    EXPECT_TRUE(aead->seal(nonce, {}, pt, std::span(out).first(pt.size()),
                           std::span(out).subspan(pt.size()).first<kTagBytes>()));
    return out;
}

struct PayloadCase {
    const char* name;
    std::vector<Bytes> chunks;  // sealed here, in order
    bool ok;                    // a good payload
    std::size_t written;        // plaintext released
};

TEST(AgePayload, OpensOnlyWellFormedStreams) {
    PayloadKey key{};
    key[0] = 0xa5;
    const Bytes full(kChunkBytes, 0x61), tail = text("the end"), empty;
    const auto c = [&](std::uint64_t i, const Bytes& pt, bool final) { return seal_chunk(key, i, pt, final); };
    const PayloadCase cases[] = {
        {"one short final chunk", {c(0, tail, true)}, true, tail.size()},
        {"full chunk then short final", {c(0, full, false), c(1, tail, true)}, true, kChunkBytes + tail.size()},
        {"full final chunk", {c(0, full, false), c(1, full, true)}, true, 2 * kChunkBytes},
        {"empty payload: one empty final chunk 0", {c(0, empty, true)}, true, 0},
        {"a chunk after the final chunk", {c(0, full, true), c(1, tail, true)}, false, kChunkBytes},
        {"a non-final chunk after the final chunk", {c(0, full, true), c(1, tail, false)}, false, kChunkBytes},
        {"no final chunk", {c(0, full, false)}, false, kChunkBytes},
        {"empty final chunk after a full one", {c(0, full, false), c(1, empty, true)}, false, kChunkBytes},
        {"chunks out of order", {c(1, full, false), c(0, tail, true)}, false, 0},
        {"short chunk not flagged final", {c(0, tail, false)}, false, 0},
    };
    for (const PayloadCase& pc : cases) {
        Bytes ct;
        for (const Bytes& chunk : pc.chunks) ct.insert(ct.end(), chunk.begin(), chunk.end());
        Bytes out(opened_size(ct.size()) + 1);
        for (unsigned threads : {1u, 3u}) {
            const auto r = open_chunks(key, 0, ct, true, out, threads);
            ASSERT_TRUE(r.has_value()) << pc.name;
            EXPECT_EQ(r->ok, pc.ok) << pc.name << ", threads " << threads;
            EXPECT_EQ(r->written, pc.written) << pc.name << ", threads " << threads;
        }
    }
}

TEST(AgePayload, EngineChunksOpenHere) {
    PayloadKey key{};
    key[31] = 0x3c;
    Bytes pt(2 * kChunkBytes + 5);
    for (std::size_t i = 0; i < pt.size(); ++i) pt[i] = static_cast<std::uint8_t>(i * 7);
    Bytes sealed(sealed_size(pt.size(), true));
    ASSERT_TRUE(seal_chunks(key, 0, pt, true, sealed, 2).has_value());
    Bytes expected;
    for (std::uint64_t i = 0; i < 3; ++i) {
        const std::size_t from = i * kChunkBytes, n = i < 2 ? kChunkBytes : 5;
        const Bytes chunk = seal_chunk(key, i, Bytes(pt.begin() + from, pt.begin() + from + n), i == 2);
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(sealed, expected);
}

}  // namespace
}  // namespace velora::age
