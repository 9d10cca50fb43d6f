// The wrapped secret-key blob: layout, order of checks, and what a change
// anywhere in it does.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/key_wrap/key_wrap.hpp"
#include "platform/error.hpp"

namespace {

using velora::VeloraError;
using namespace velora::key_wrap;
using Bytes = std::vector<std::uint8_t>;

Bytes fake_secret_key(std::uint8_t level) {
    Bytes sk(secret_key_size(level));
    for (std::size_t i = 0; i < sk.size(); ++i) sk[i] = static_cast<std::uint8_t>(i * 7 + level);
    return sk;
}

const Bytes kPassword = {'p', 'w'};

TEST(KeyWrap, RoundTripsAtEveryLevel) {
    for (std::uint8_t level = 0; level < 3; ++level) {
        const Bytes sk = fake_secret_key(level);
        const auto blob = wrap_secret_key_blob(sk, level, kPassword);
        ASSERT_TRUE(blob);
        ASSERT_EQ(blob->size(), blob_size(level));
        EXPECT_EQ(Bytes(blob->begin(), blob->begin() + 6), (Bytes{'V', 'L', 'P', 'K', 1, level}));

        const auto opened = unwrap_secret_key(*blob, kPassword);
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->level_id, level);
        EXPECT_EQ(Bytes(opened->secret_key.data(), opened->secret_key.data() + opened->secret_key.size()), sk);
    }
}

TEST(KeyWrap, RefusesAKeyOfTheWrongSize) {
    const Bytes sk = fake_secret_key(0);
    EXPECT_EQ(wrap_secret_key_blob(sk, 1, kPassword).error(),
              VeloraError::InvalidParameter("secret key size does not match the specified security level"));
}

TEST(KeyWrap, HeaderChecksInOrder) {
    const auto made = wrap_secret_key_blob(fake_secret_key(1), 1, kPassword);
    ASSERT_TRUE(made);
    const Bytes& good = *made;
    const auto ks = [](const char* m) { return VeloraError::KeySerialization(m); };

    Bytes short_bad_magic(good.begin(), good.begin() + 49);
    short_bad_magic[0] = 'X';
    EXPECT_EQ(unwrap_secret_key(short_bad_magic, kPassword).error(),
              ks("wrapped blob is too short to contain a valid header"));

    Bytes bad_magic_and_version = good;
    bad_magic_and_version[3] = 'Q';
    bad_magic_and_version[4] = 9;
    EXPECT_EQ(unwrap_secret_key(bad_magic_and_version, kPassword).error(), ks("invalid magic bytes in wrapped blob"));

    Bytes bad_version_and_level = good;
    bad_version_and_level[4] = 0;
    bad_version_and_level[5] = 7;
    EXPECT_EQ(unwrap_secret_key(bad_version_and_level, kPassword).error(), ks("unsupported wrapped blob version"));

    Bytes bad_level = good;
    bad_level[5] = 3;
    EXPECT_EQ(unwrap_secret_key(bad_level, kPassword).error(), ks("unknown level_id in wrapped blob"));

    // 50 bytes with a valid header reaches the cipher.
    Bytes minimal(good.begin(), good.begin() + 50);
    EXPECT_EQ(unwrap_secret_key(minimal, kPassword).error(), VeloraError::Decryption());
}

TEST(KeyWrap, AnotherValidLevelIdFailsTheSizeCheck) {
    const auto made = wrap_secret_key_blob(fake_secret_key(1), 1, kPassword);
    ASSERT_TRUE(made);
    for (const std::uint8_t level : {std::uint8_t{0}, std::uint8_t{2}}) {
        Bytes blob = *made;
        blob[5] = level;
        EXPECT_EQ(unwrap_secret_key(blob, kPassword).error(), VeloraError::Decryption());
    }
}

TEST(KeyWrap, WrongPasswordAndLengthChangesFailAuthentication) {
    const auto made = wrap_secret_key_blob(fake_secret_key(0), 0, kPassword);
    ASSERT_TRUE(made);
    EXPECT_EQ(unwrap_secret_key(*made, Bytes{'p', 'W'}).error(), VeloraError::Decryption());
    EXPECT_EQ(unwrap_secret_key(*made, Bytes{}).error(), VeloraError::Decryption());
    Bytes truncated(made->begin(), made->end() - 1);
    EXPECT_EQ(unwrap_secret_key(truncated, kPassword).error(), VeloraError::Decryption());
    Bytes extended = *made;
    extended.push_back(0);
    EXPECT_EQ(unwrap_secret_key(extended, kPassword).error(), VeloraError::Decryption());
}

}  // namespace
