// The engine against the ML-KEM known answers that the cryptography-vectors
// package ships (asymmetric/MLKEM/kat_MLKEM_{512,768,1024}.rsp, 1,000 cases a
// level): key generation from (d, z), encapsulation with msg, decapsulation of
// ct and of the invalid ct_n (implicit rejection to ss_n). CMake locates the
// package through the Python that runs the tests (VELORA_KAT_DIR); where it is
// not installed the tests are skipped, and fail under CI=true.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/mlkem/decaps.hpp"
#include "core/mlkem/encaps.hpp"
#include "core/mlkem/keygen.hpp"
#include "core/mlkem/params.hpp"
#include "hex.hpp"
#include "test_data.hpp"

#ifndef VELORA_KAT_DIR
#define VELORA_KAT_DIR ""
#endif

namespace velora::mlkem {
namespace {

using testing::array_from_hex;
using testing::from_hex;

constexpr std::size_t kCasesPerLevel = 1000;

// One `count = N` record of a .rsp file: field name -> hex text.
using KatCase = std::map<std::string, std::string>;

std::filesystem::path kat_file(const char* bits) {
    return std::filesystem::path(VELORA_KAT_DIR) / "asymmetric" / "MLKEM" / (std::string("kat_MLKEM_") + bits + ".rsp");
}

std::vector<KatCase> read_rsp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<KatCase> cases;
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        if (key == "count") cases.emplace_back();
        if (!cases.empty()) cases.back()[std::move(key)] = line.substr(eq + 3);
    }
    return cases;
}

struct Level {
    LevelIndex index;
    const char* bits;
};

class MlKemKat : public ::testing::TestWithParam<Level> {
protected:
    void SetUp() override {
        VELORA_REQUIRE_TEST_DATA(std::filesystem::is_regular_file(kat_file(GetParam().bits)),
                                 "cryptography-vectors not found (asked for " << kat_file(GetParam().bits)
                                     << "); `make engine-test` configures with the .venv's Python, "
                                        "where requirements-dev.txt installs it");
    }
};

TEST_P(MlKemKat, KeyGenEncapsAndDecapsGiveTheKnownAnswers) {
    const LevelIndex level = GetParam().index;
    const std::vector<KatCase> cases = read_rsp(kat_file(GetParam().bits));
    ASSERT_EQ(cases.size(), kCasesPerLevel);
    int failures = 0;
    for (const KatCase& c : cases) {
        SCOPED_TRACE("count = " + c.at("count"));
        const auto d = array_from_hex<32>(c.at("d"));
        const auto z = array_from_hex<32>(c.at("z"));
        const auto msg = array_from_hex<32>(c.at("msg"));
        const KeyPairBytes kp = ml_kem_keygen(d, z, level);
        const auto enc = ml_kem_encaps_deterministic(kp.ek, msg, level);
        const auto dec = ml_kem_decaps(from_hex(c.at("ct")), kp.dk, level);
        const auto rejected = ml_kem_decaps(from_hex(c.at("ct_n")), kp.dk, level);
        const bool ok = kp.ek == from_hex(c.at("pk")) && kp.dk == from_hex(c.at("sk")) && enc.has_value() &&
                        enc->capsule == from_hex(c.at("ct")) && enc->shared_secret == array_from_hex<32>(c.at("ss")) &&
                        dec.has_value() && *dec == array_from_hex<32>(c.at("ss")) && rejected.has_value() &&
                        *rejected == array_from_hex<32>(c.at("ss_n"));
        EXPECT_TRUE(ok);
        // Stop early on a systematic fault instead of printing 1,000 traces.
        if (!ok && ++failures == 10) FAIL() << "stopped after 10 failing cases";
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, MlKemKat,
                         ::testing::Values(Level{0, "512"}, Level{1, "768"}, Level{2, "1024"}),
                         [](const ::testing::TestParamInfo<Level>& p) {
                             return std::string("MlKem") + p.param.bits;
                         });

}  // namespace
}  // namespace velora::mlkem
