// ML-KEM key generation, encapsulation and decapsulation: round trips, key
// layout, implicit rejection and the size checks with their messages.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "core/mlkem/params.hpp"
#include "primitives/sha3.hpp"

namespace velora::mlkem {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct LevelSizes {
    LevelIndex level;
    std::size_t k, ek, dk, capsule;
};

constexpr LevelSizes kLevels[] = {
    {0, 2, 800, 1632, 768},
    {1, 3, 1184, 2400, 1088},
    {2, 4, 1568, 3168, 1568},
};

std::array<std::uint8_t, 32> filled(std::uint8_t first) {
    std::array<std::uint8_t, 32> a{};
    for (std::size_t i = 0; i < 32; ++i) a[i] = static_cast<std::uint8_t>(first + 3 * i);
    return a;
}

std::array<std::uint8_t, 32> implicit_rejection_key(const Bytes& dk, const Bytes& c) {
    std::array<std::uint8_t, 32> out{};
    primitives::shake256({std::span(dk).last(32), c}, out);
    return out;
}

class MlKemKem : public ::testing::TestWithParam<LevelSizes> {
protected:
    void SetUp() override { kp_ = ml_kem_keygen(filled(1), filled(200), GetParam().level); }
    KeyPairBytes kp_;
};

TEST_P(MlKemKem, RandomKeyGenEncapsDecapsRoundTrip) {
    const LevelSizes s = GetParam();
    const auto kp = ml_kem_keygen_random(s.level);
    ASSERT_TRUE(kp.has_value());
    EXPECT_EQ(kp->ek.size(), s.ek);
    EXPECT_EQ(kp->dk.size(), s.dk);
    for (int round = 0; round < 3; ++round) {
        const auto enc = ml_kem_encaps(kp->ek, s.level);
        ASSERT_TRUE(enc.has_value());
        EXPECT_EQ(enc->capsule.size(), s.capsule);
        const auto dec = ml_kem_decaps(enc->capsule, kp->dk, s.level);
        ASSERT_TRUE(dec.has_value());
        EXPECT_EQ(*dec, enc->shared_secret);
    }
    const auto other = ml_kem_keygen_random(s.level);
    ASSERT_TRUE(other.has_value());
    EXPECT_NE(other->ek, kp->ek);
}

TEST_P(MlKemKem, DeterministicEncapsIsReproducibleAndDecapsulates) {
    const LevelSizes s = GetParam();
    const auto m = filled(77);
    const auto a = ml_kem_encaps_deterministic(kp_.ek, m, s.level);
    const auto b = ml_kem_encaps_deterministic(kp_.ek, m, s.level);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(a->capsule, b->capsule);
    EXPECT_EQ(a->shared_secret, b->shared_secret);
    EXPECT_EQ(a->m, m);
    const auto dec = ml_kem_decaps(a->capsule, kp_.dk, s.level);
    ASSERT_TRUE(dec.has_value());
    EXPECT_EQ(*dec, a->shared_secret);
}

TEST_P(MlKemKem, KeyLayoutIsDkPkeEkHashZ) {
    const LevelSizes s = GetParam();
    const auto d = filled(1), z = filled(200);
    ASSERT_EQ(kp_.dk.size(), s.dk);
    const Bytes embedded_ek(kp_.dk.begin() + 384 * s.k, kp_.dk.begin() + 768 * s.k + 32);
    EXPECT_EQ(embedded_ek, kp_.ek);

    std::array<std::uint8_t, 32> h{};
    primitives::sha3_256({kp_.ek}, h);
    EXPECT_EQ(Bytes(kp_.dk.end() - 64, kp_.dk.end() - 32), Bytes(h.begin(), h.end()));
    EXPECT_EQ(Bytes(kp_.dk.end() - 32, kp_.dk.end()), Bytes(z.begin(), z.end()));

    // rho is the first half of G(d || k), with the rank as domain byte.
    std::array<std::uint8_t, 64> g{};
    const std::uint8_t rank[1] = {static_cast<std::uint8_t>(s.k)};
    primitives::sha3_512({d, rank}, g);
    EXPECT_EQ(Bytes(kp_.ek.end() - 32, kp_.ek.end()), Bytes(g.begin(), g.begin() + 32));

    // z changes only the last 32 bytes of dk.
    const KeyPairBytes other_z = ml_kem_keygen(d, filled(9), s.level);
    EXPECT_EQ(other_z.ek, kp_.ek);
    EXPECT_EQ(Bytes(other_z.dk.begin(), other_z.dk.end() - 32), Bytes(kp_.dk.begin(), kp_.dk.end() - 32));
}

TEST_P(MlKemKem, FlippedCapsuleBitGivesImplicitRejectionKey) {
    const LevelSizes s = GetParam();
    const auto enc = ml_kem_encaps_deterministic(kp_.ek, filled(5), s.level);
    ASSERT_TRUE(enc.has_value());
    const std::size_t c1_size = s.capsule - (s.level == 2 ? 160 : 128);
    const std::size_t positions[] = {0, c1_size - 1, c1_size, c1_size + 17, s.capsule - 1};
    for (std::size_t pos : positions) {
        for (std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
            Bytes c = enc->capsule;
            c[pos] ^= bit;
            const auto dec = ml_kem_decaps(c, kp_.dk, s.level);
            ASSERT_TRUE(dec.has_value()) << "byte " << pos;
            EXPECT_EQ(*dec, implicit_rejection_key(kp_.dk, c)) << "byte " << pos << " bit " << int(bit);
            EXPECT_NE(*dec, enc->shared_secret) << "byte " << pos;
        }
    }
}

TEST_P(MlKemKem, AlteredStoredHashIsAcceptedAndRejectsImplicitly) {
    const LevelSizes s = GetParam();
    const auto enc = ml_kem_encaps_deterministic(kp_.ek, filled(6), s.level);
    ASSERT_TRUE(enc.has_value());
    Bytes dk = kp_.dk;
    dk[768 * s.k + 32] ^= 0x01;  // first byte of the stored H(ek)
    const auto dec = ml_kem_decaps(enc->capsule, dk, s.level);
    ASSERT_TRUE(dec.has_value());
    EXPECT_EQ(*dec, implicit_rejection_key(dk, enc->capsule));
}

TEST_P(MlKemKem, UnreducedKeyFieldIsAcceptedAndHashedAsReceived) {
    const LevelSizes s = GetParam();
    // Rewrite one 12-bit field of t-hat as value + 3329 (still below 4096):
    // the decoded t-hat is unchanged, but H(ek) is over the bytes as given.
    auto field = [](const Bytes& b, std::size_t n) -> std::uint32_t {
        const std::size_t o = 3 * (n / 2);
        return n % 2 == 0 ? b[o] | ((b[o + 1] & 0x0Fu) << 8) : (b[o + 1] >> 4) | (b[o + 2] << 4u);
    };
    Bytes ek = kp_.ek;
    std::size_t n = 0;
    while (field(ek, n) + 3329 > 4095) ++n;
    const std::uint32_t raised = field(ek, n) + 3329;
    const std::size_t o = 3 * (n / 2);
    if (n % 2 == 0) {
        ek[o] = static_cast<std::uint8_t>(raised);
        ek[o + 1] = static_cast<std::uint8_t>((ek[o + 1] & 0xF0) | (raised >> 8));
    } else {
        ek[o + 1] = static_cast<std::uint8_t>((ek[o + 1] & 0x0F) | ((raised & 0x0F) << 4));
        ek[o + 2] = static_cast<std::uint8_t>(raised >> 4);
    }
    ASSERT_EQ(field(ek, n), raised);
    const auto m = filled(8);
    const auto canonical = ml_kem_encaps_deterministic(kp_.ek, m, s.level);
    const auto unreduced = ml_kem_encaps_deterministic(ek, m, s.level);
    ASSERT_TRUE(canonical.has_value());
    ASSERT_TRUE(unreduced.has_value()) << "no modulus check is made";
    EXPECT_EQ(unreduced->capsule.size(), s.capsule);
    EXPECT_NE(unreduced->shared_secret, canonical->shared_secret);
    EXPECT_NE(unreduced->capsule, canonical->capsule);
    EXPECT_TRUE(ml_kem_encaps(ek, s.level).has_value());
}

TEST_P(MlKemKem, SizeErrorsCarryTheirMessagesAndKeyIsCheckedFirst) {
    const LevelSizes s = GetParam();
    const auto m = filled(4);
    const auto enc = ml_kem_encaps_deterministic(kp_.ek, m, s.level);
    ASSERT_TRUE(enc.has_value());
    const auto ek_error = VeloraError::InvalidParameter("encryption key has incorrect size");
    const auto ek_error_det = VeloraError::InvalidParameter("encryption key publica tiene tamano incorrecto");
    const auto dk_error = VeloraError::InvalidParameter("decapsulation key has incorrect size");
    const auto c_error = VeloraError::InvalidParameter("capsule has incorrect size");

    auto resized = [](Bytes b, std::size_t n) {
        b.resize(n, 0);
        return b;
    };
    for (std::size_t n : {s.ek - 1, s.ek + 1, std::size_t{0}}) {
        const Bytes ek = resized(kp_.ek, n);
        const auto r = ml_kem_encaps(ek, s.level);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), ek_error) << n;
        const auto d = ml_kem_encaps_deterministic(ek, m, s.level);
        ASSERT_FALSE(d.has_value());
        EXPECT_EQ(d.error(), ek_error_det) << n;
    }
    for (std::size_t n : {s.dk - 1, s.dk + 1, std::size_t{0}}) {
        const Bytes dk = resized(kp_.dk, n);
        for (std::size_t cn : {s.capsule, s.capsule - 1, s.capsule + 1}) {
            const auto r = ml_kem_decaps(resized(enc->capsule, cn), dk, s.level);
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), dk_error) << "dk " << n << " capsule " << cn;
        }
    }
    for (std::size_t cn : {s.capsule - 1, s.capsule + 1, std::size_t{0}}) {
        const auto r = ml_kem_decaps(resized(enc->capsule, cn), kp_.dk, s.level);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), c_error) << cn;
    }
}

TEST(MlKemKemLevels, KeysAndCapsulesOfAnotherLevelAreSizeErrors) {
    const KeyPairBytes kp512 = ml_kem_keygen(filled(1), filled(2), 0);
    const KeyPairBytes kp768 = ml_kem_keygen(filled(1), filled(2), 1);
    // The same d at two levels gives unrelated keys (k is a domain byte).
    EXPECT_NE(Bytes(kp512.ek.end() - 32, kp512.ek.end()), Bytes(kp768.ek.end() - 32, kp768.ek.end()));

    const auto c768 = ml_kem_encaps_deterministic(kp768.ek, filled(3), 1);
    ASSERT_TRUE(c768.has_value());
    const auto r = ml_kem_decaps(c768->capsule, kp512.dk, 0);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), VeloraError::InvalidParameter("capsule has incorrect size"));

    EXPECT_TRUE(ml_kem_encaps(kp512.ek, 0).has_value());
    const auto wrong = ml_kem_encaps(kp512.ek, 1);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error(), VeloraError::InvalidParameter("encryption key has incorrect size"));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, MlKemKem, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<LevelSizes>& p) {
                             return "Level" + std::to_string(p.param.level);
                         });

}  // namespace
}  // namespace velora::mlkem
