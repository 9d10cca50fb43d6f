// Transit Package engine: layout, check order, the GCM length limit and the
// guarantee that a failed open leaves no plaintext behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/hybrid/hybrid.hpp"
#include "core/mlkem/decaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "primitives/aes_gcm.hpp"
#include "reserved_memory.hpp"

namespace {

using namespace velora;
using velora::hybrid::LevelIndex;

mlkem::KeyPairBytes keys_for(LevelIndex level, std::uint8_t seed = 1) {
    std::array<std::uint8_t, 32> d{}, z{};
    d.fill(seed);
    z.fill(static_cast<std::uint8_t>(seed + 100));
    return mlkem::ml_kem_keygen(d, z, level);
}

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return v;
}

TEST(TransitPackage, RoundTripAndLayoutAtEveryLevel) {
    for (LevelIndex level = 0; level < 3; ++level) {
        const auto keys = keys_for(level);
        const std::size_t c = mlkem::capsule_size(level);
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4097}}) {
            SCOPED_TRACE(::testing::Message() << "level " << int(level) << " n " << n);
            const auto pt = pattern(n);
            auto package = hybrid::seal_transit_package(keys.ek, pt, level);
            ASSERT_TRUE(package.has_value());
            ASSERT_EQ(package->size(), c + 28 + n);

            // Take the package apart by the documented layout and open it with
            // the bare primitives: capsule | nonce | tag | ciphertext, K as key.
            std::span<const std::uint8_t> p(*package);
            auto k = mlkem::ml_kem_decaps(p.first(c), keys.dk, level);
            ASSERT_TRUE(k.has_value());
            auto gcm = primitives::Aes256Gcm::create(*k);
            ASSERT_TRUE(gcm.has_value());
            std::vector<std::uint8_t> out(n, 0xEE);
            ASSERT_TRUE(gcm->open(p.subspan(c).first<12>(), {}, p.subspan(c + 28), p.subspan(c + 12).first<16>(), out));
            EXPECT_EQ(out, pt);

            auto opened = hybrid::open_transit_package(*package, keys.dk, level);
            ASSERT_TRUE(opened.has_value());
            EXPECT_EQ(*opened, pt);
        }
    }
}

TEST(TransitPackage, OpenChecksSizeThenKeyThenTag) {
    const LevelIndex level = 1;
    const auto keys = keys_for(level);
    auto package = hybrid::seal_transit_package(keys.ek, pattern(10), level);
    ASSERT_TRUE(package.has_value());
    const std::vector<std::uint8_t> short_package(package->begin(), package->begin() + 1088 + 27);
    const std::vector<std::uint8_t> bad_dk(keys.dk.begin(), keys.dk.end() - 1);
    const auto other = keys_for(level, 9);

    struct Case {
        const std::vector<std::uint8_t>* package;
        const std::vector<std::uint8_t>* dk;
        VeloraError expected;
    } cases[] = {
        {&short_package, &bad_dk, VeloraError::InvalidParameter(hybrid::kPackageTooSmall)},
        {&short_package, &keys.dk, VeloraError::InvalidParameter(hybrid::kPackageTooSmall)},
        {&*package, &bad_dk, VeloraError::InvalidParameter("decapsulation key has incorrect size")},
        {&*package, &other.dk, VeloraError::Decryption()},
    };
    for (const auto& tc : cases) {
        auto r = hybrid::open_transit_package(*tc.package, *tc.dk, level);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), tc.expected) << r.error().message;
    }
    // An empty package body at exactly C + 28 is valid.
    auto empty = hybrid::seal_transit_package(keys.ek, {}, level);
    ASSERT_TRUE(empty.has_value());
    auto opened = hybrid::open_transit_package(*empty, keys.dk, level);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->empty());
}

TEST(TransitPackage, FailedOpenLeavesOnlyZeros) {
    const LevelIndex level = 0;
    const auto keys = keys_for(level);
    const auto pt = pattern(64);
    auto package = hybrid::seal_transit_package(keys.ek, pt, level);
    ASSERT_TRUE(package.has_value());
    const std::size_t c = mlkem::capsule_size(level);
    for (std::size_t at : {std::size_t{0}, c + 3, c + 12 + 5, c + 28 + 63}) {  // capsule, nonce, tag, ciphertext
        auto bad = *package;
        bad[at] ^= 0x01;
        std::vector<std::uint8_t> out(pt.size(), 0xAA);
        auto r = hybrid::open_transit_package_into(bad, keys.dk, level, out);
        ASSERT_FALSE(r.has_value()) << "offset " << at;
        EXPECT_EQ(r.error(), VeloraError::Decryption());
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; })) << "offset " << at;
    }
}

// A never-touched mapping one byte past GCM's limit: address space only, no
// memory is committed, and any access to it would crash the test.
class OverLimitPlaintext : public ::testing::Test {
protected:
    void SetUp() override {
        if (!reserved_.mapped()) GTEST_SKIP() << "cannot reserve 64 GiB of address space";
    }
    std::span<const std::uint8_t> plaintext() const { return reserved_.span(); }

    const velora::testing::InaccessibleBytes reserved_{static_cast<std::size_t>(hybrid::kMaxPlaintextBytes) + 1};
};

TEST_F(OverLimitPlaintext, IsAnInvalidParameterAfterTheKeyCheck) {
    const LevelIndex level = 2;
    const auto keys = keys_for(level);

    auto r = hybrid::seal_transit_package_into(keys.ek, plaintext(), level, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), VeloraError::InvalidParameter(hybrid::kPlaintextTooLong));

    auto v = hybrid::seal_transit_package(keys.ek, plaintext(), level);  // allocates nothing
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error(), VeloraError::InvalidParameter(hybrid::kPlaintextTooLong));

    const std::vector<std::uint8_t> bad_ek(keys.ek.begin(), keys.ek.end() - 1);
    auto k = hybrid::seal_transit_package_into(bad_ek, plaintext(), level, {});
    ASSERT_FALSE(k.has_value());
    EXPECT_EQ(k.error(), VeloraError::InvalidParameter("encryption key has incorrect size"));
}

}  // namespace
