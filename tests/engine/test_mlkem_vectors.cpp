// The engine against the Project Wycheproof ML-KEM vectors (FIPS 203 final),
// read from ../shared/vectors/mlkem beside the repository (skipped where it is
// absent, required under CI=true). All three levels.
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
#include "wycheproof.hpp"

namespace velora::mlkem {
namespace {

using testing::from_hex;
using testing::Json;

struct Level {
    LevelIndex index;
    const char* bits;  // "512", "768", "1024"
};

class MlKemVectors : public ::testing::TestWithParam<Level> {
protected:
    void SetUp() override { VELORA_REQUIRE_MLKEM_VECTORS(); }

    LevelIndex level() const { return GetParam().index; }

    // Every test of every group of the file mlkem_<bits>_<kind>.json, after
    // checking the group's parameter set.
    template <class F>
    void for_each_test(const char* kind, F&& f) const {
        const auto doc = testing::load_mlkem_file(std::string("mlkem_") + GetParam().bits + "_" + kind + ".json");
        ASSERT_TRUE(doc);
        const std::string want = std::string("ML-KEM-") + GetParam().bits;
        const std::vector<Json>& groups = (*doc)["testGroups"].array;
        ASSERT_FALSE(groups.empty());
        for (const Json& group : groups) {
            ASSERT_EQ(group["parameterSet"].string, want);
            for (const Json& t : group["tests"].array) {
                SCOPED_TRACE("tcId " + std::to_string(static_cast<int>(t["tcId"].number)) + ": " + t["comment"].string);
                f(t);
            }
        }
    }
};

std::array<std::uint8_t, 32> first32(const std::vector<std::uint8_t>& v, std::size_t offset = 0) {
    std::array<std::uint8_t, 32> out{};
    std::copy(v.begin() + static_cast<std::ptrdiff_t>(offset), v.begin() + static_cast<std::ptrdiff_t>(offset + 32),
              out.begin());
    return out;
}

bool has_flag(const Json& t, const char* flag) {
    for (const Json& f : t["flags"].array) {
        if (f.string == flag) return true;
    }
    return false;
}

std::vector<std::uint8_t> to_vec(const std::array<std::uint8_t, 32>& a) { return {a.begin(), a.end()}; }

TEST_P(MlKemVectors, KeyGenFromSeedGivesEkAndDk) {
    int checked = 0;
    for_each_test("keygen_seed_test", [&](const Json& t) {
        ASSERT_EQ(t["result"].string, "valid");
        const auto seed = from_hex(t["seed"].string);
        ASSERT_EQ(seed.size(), 64u);
        const auto d = first32(seed), z = first32(seed, 32);
        const KeyPairBytes kp = ml_kem_keygen(d, z, level());
        EXPECT_EQ(kp.ek, from_hex(t["ek"].string));
        EXPECT_EQ(kp.dk, from_hex(t["dk"].string));
        ++checked;
    });
    EXPECT_GT(checked, 0);
}

TEST_P(MlKemVectors, DeterministicEncapsGivesCapsuleAndKey) {
    int valid = 0, wrong_size = 0, unreduced = 0;
    for_each_test("encaps_test", [&](const Json& t) {
        const auto ek = from_hex(t["ek"].string);
        const auto m = first32(from_hex(t["m"].string));
        const auto got = ml_kem_encaps_deterministic(ek, m, level());
        if (t["result"].string == "valid") {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->capsule, from_hex(t["c"].string));
            EXPECT_EQ(to_vec(got->shared_secret), from_hex(t["K"].string));
            EXPECT_EQ(got->m, m);
            ++valid;
        } else if (ek.size() != ek_size(level())) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(),
                      VeloraError::InvalidParameter("encryption key publica tiene tamano incorrecto"));
            const auto random_variant = ml_kem_encaps(ek, level());
            ASSERT_FALSE(random_variant.has_value());
            EXPECT_EQ(random_variant.error(), VeloraError::InvalidParameter("encryption key has incorrect size"));
            ++wrong_size;
        } else {
            // ModulusOverflow / "Public key not reduced": no modulus check is
            // made, so the key is accepted and yields a capsule of full size.
            ASSERT_TRUE(has_flag(t, "ModulusOverflow") || t["comment"].string == "Public key not reduced");
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->capsule.size(), capsule_size(level()));
            ++unreduced;
        }
    });
    EXPECT_GT(valid, 0);
    EXPECT_GT(wrong_size, 0);
    EXPECT_GT(unreduced, 0);
}

TEST_P(MlKemVectors, DecapsOfKeysFromSeedGivesKeyIncludingImplicitRejection) {
    int valid = 0, rejected_by_size = 0, strcmp_cases = 0;
    for_each_test("test", [&](const Json& t) {
        const auto seed = from_hex(t["seed"].string);
        if (seed.size() != 64) return;  // seed length errors belong to the binding
        const KeyPairBytes kp = ml_kem_keygen(first32(seed), first32(seed, 32), level());
        EXPECT_EQ(kp.ek, from_hex(t["ek"].string));
        const auto c = from_hex(t["c"].string);
        const auto got = ml_kem_decaps(c, kp.dk, level());
        if (t["result"].string == "valid") {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(to_vec(*got), from_hex(t["K"].string));
            ++valid;
            strcmp_cases += has_flag(t, "Strcmp");
        } else {
            ASSERT_NE(c.size(), capsule_size(level()));
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), VeloraError::InvalidParameter("capsule has incorrect size"));
            ++rejected_by_size;
        }
    });
    EXPECT_GT(valid, 0);
    EXPECT_GT(rejected_by_size, 0);
    EXPECT_GT(strcmp_cases, 0);
}

TEST_P(MlKemVectors, SemiExpandedDecapsWithoutHashCheck) {
    int checked = 0;
    for_each_test("semi_expanded_decaps_test", [&](const Json& t) {
        const auto dk = from_hex(t["dk"].string);
        const auto c = from_hex(t["c"].string);
        const auto got = ml_kem_decaps(c, dk, level());
        ++checked;
        if (t["result"].string == "valid") {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(to_vec(*got), from_hex(t["K"].string));
        } else if (has_flag(t, "IncorrectDecapsulationKeyLength")) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), VeloraError::InvalidParameter("decapsulation key has incorrect size"));
        } else if (has_flag(t, "IncorrectCiphertextLength")) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error(), VeloraError::InvalidParameter("capsule has incorrect size"));
        } else {
            // InvalidDecapsulationKey: no hash check, so the result is the
            // implicit-rejection value SHAKE256(z || c)[0 .. 32).
            ASSERT_TRUE(has_flag(t, "InvalidDecapsulationKey"));
            ASSERT_TRUE(got.has_value());
            std::array<std::uint8_t, 32> want{};
            const auto z = std::span(dk).last(32);
            primitives::shake256({z, c}, want);
            EXPECT_EQ(*got, want);
        }
    });
    EXPECT_GT(checked, 0);
}

INSTANTIATE_TEST_SUITE_P(AllLevels, MlKemVectors,
                         ::testing::Values(Level{0, "512"}, Level{1, "768"}, Level{2, "1024"}),
                         [](const ::testing::TestParamInfo<Level>& p) {
                             return std::string("MlKem") + p.param.bits;
                         });

}  // namespace
}  // namespace velora::mlkem
