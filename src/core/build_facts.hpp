// What this build of the engine runs on, for reports (velora.build_info()):
// the backends in use in this process and the libraries' own versions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velora {

struct BuildFact {
    std::string_view key;              // a short lower-case name, e.g. "aes_gcm"
    std::optional<std::string> value;  // nullopt: not part of this build
};

// The facts in report order:
//   aes_gcm        AES-256-GCM backend in use: "ipsec-mb" or "openssl"
//   ipsec_mb       ipsec-mb version, nullopt when the build did not find it
//   mlkem_kernels  ML-KEM polynomial kernels in use: "avx2" or "scalar"
//   keccak         Keccak-f[1600] path in use: "avx512", "avx2", "scalar" or "libcrypto"
//   libcrypto      OpenSSL's version text of the libcrypto in use
//   compiler       the compiler that built the engine
std::vector<BuildFact> build_facts();

}  // namespace velora
