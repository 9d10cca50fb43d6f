// ML-DSA against the known answers of the cryptography-vectors package,
// which every clone has: kat_MLDSA_{44,65,87}_det_pure.rsp, 100 cases per
// level of key generation from xi, deterministic pure signing with a
// context, and verification of the answer (and of the answer with one bit
// changed, and under another context).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/mldsa/mldsa.hpp"
#include "hex.hpp"
#include "vectors.hpp"

namespace velora::mldsa {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::from_hex;

// "name = hex" records, each starting at its "count = " line.
std::vector<std::map<std::string, std::string>> read_rsp(const std::string& text) {
    std::vector<std::map<std::string, std::string>> records;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        if (name == "count") records.emplace_back();
        if (records.empty()) continue;
        records.back()[name] = line.substr(eq + 3);
    }
    return records;
}

class MlDsaKats : public ::testing::TestWithParam<LevelIndex> {};

TEST_P(MlDsaKats, KeyGenSignVerify) {
    VELORA_NEED_VECTORS(dir, testing::cryptography_vectors(), "the cryptography-vectors package");
    const LevelIndex level = GetParam();
    static constexpr const char* kNames[] = {"44", "65", "87"};
    const auto records = read_rsp(testing::read_vector_file(
        dir / "asymmetric" / "MLDSA" / (std::string("kat_MLDSA_") + kNames[level] + "_det_pure.rsp")));
    ASSERT_EQ(records.size(), 100u);
    const std::array<std::uint8_t, 32> zero_rnd{};
    for (const auto& r : records) {
        SCOPED_TRACE("count " + r.at("count"));
        const Bytes xi = from_hex(r.at("xi")), msg = from_hex(r.at("msg")), ctx = from_hex(r.at("ctx"));
        const Bytes sm = from_hex(r.at("sm"));
        ASSERT_EQ(xi.size(), 32u);
        const KeyPairBytes kp = keygen(std::span<const std::uint8_t, 32>(xi.data(), 32), level);
        EXPECT_EQ(testing::to_hex(kp.pk), r.at("pk"));
        EXPECT_EQ(testing::to_hex(kp.sk), r.at("sk"));
        // sm = signature || message.
        ASSERT_EQ(sm.size(), sig_size(level) + msg.size());
        const Bytes want(sm.begin(), sm.begin() + static_cast<std::ptrdiff_t>(sig_size(level)));
        const auto sig = sign(kp.sk, msg, ctx, zero_rnd, level);
        ASSERT_TRUE(sig.has_value());
        EXPECT_EQ(testing::to_hex(*sig), testing::to_hex(want));
        EXPECT_EQ(verify(kp.pk, msg, ctx, want, level), Result<bool>(true));
        Bytes flipped = want;
        flipped[flipped.size() / 2] ^= 0x10;
        EXPECT_EQ(verify(kp.pk, msg, ctx, flipped, level), Result<bool>(false));
        Bytes other_ctx = ctx;
        other_ctx.push_back(0);
        EXPECT_EQ(verify(kp.pk, msg, other_ctx, want, level), Result<bool>(false));
        const Result<LevelIndex> by_size = level_of_public_key_size(kp.pk.size());
        EXPECT_EQ(by_size, Result<LevelIndex>(level));
    }
}

std::string level_name(const ::testing::TestParamInfo<LevelIndex>& p) {
    static constexpr const char* kLevelNames[] = {"MlDsa44", "MlDsa65", "MlDsa87"};
    return kLevelNames[p.param];
}

INSTANTIATE_TEST_SUITE_P(Levels, MlDsaKats, ::testing::Values(LevelIndex{0}, LevelIndex{1}, LevelIndex{2}), level_name);

}  // namespace
}  // namespace velora::mldsa
