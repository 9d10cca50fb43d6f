// The build facts name the kernels and the AES-256-GCM backend actually in
// use, as the CPU's own feature flags and the test switches decide them. The
// suite name puts it in the scalar/ run too (VELORA_FORCE_SCALAR=1).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/build_facts.hpp"

namespace velora {
namespace {

const BuildFact& fact(const std::vector<BuildFact>& facts, std::string_view key) {
    for (const BuildFact& f : facts) {
        if (f.key == key) return f;
    }
    throw std::runtime_error("no build fact " + std::string(key));
}

TEST(MlKemBuildFacts, KeysInReportOrder) {
    std::vector<std::string_view> keys;
    for (const BuildFact& f : build_facts()) keys.push_back(f.key);
    EXPECT_EQ(keys, (std::vector<std::string_view>{"aes_gcm", "ipsec_mb", "mlkem_kernels", "libcrypto", "compiler"}));
}

TEST(MlKemBuildFacts, KernelsFollowTheCpuAndTheTestSwitch) {
    const char* force = std::getenv("VELORA_FORCE_SCALAR");
    const bool forced = force != nullptr && std::string_view(force) == "1";
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    EXPECT_EQ(fact(build_facts(), "mlkem_kernels").value, (avx2 && !forced) ? "avx2" : "scalar");
}

TEST(MlKemBuildFacts, AesGcmBackendFollowsTheBuildAndTheCpu) {
    const auto facts = build_facts();
    __builtin_cpu_init();
    const bool fast_cpu = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vaes") &&
                          __builtin_cpu_supports("vpclmulqdq");
    const bool with_ipsec_mb = fact(facts, "ipsec_mb").value.has_value();
    EXPECT_EQ(fact(facts, "aes_gcm").value, (with_ipsec_mb && fast_cpu) ? "ipsec-mb" : "openssl");
    EXPECT_TRUE(fact(facts, "libcrypto").value.value_or("").starts_with("OpenSSL 3."));
}

}  // namespace
}  // namespace velora
