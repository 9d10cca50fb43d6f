// The build facts: each one is asked of the layer that decides it.
#include "core/build_facts.hpp"

#include "core/mlkem/math/kernels.hpp"
#include "primitives/library_info.hpp"

namespace velora {

namespace {

std::optional<std::string> text_or_none(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

constexpr const char* kCompiler =
#if defined(__clang__)
    "clang " __clang_version__;
#elif defined(__GNUC__)
    "gcc " __VERSION__;
#else
    "unknown";
#endif

}  // namespace

std::vector<BuildFact> build_facts() {
    return {
        {"aes_gcm", primitives::aes_gcm_backend_in_use()},
        {"ipsec_mb", text_or_none(primitives::ipsec_mb_version())},
        {"mlkem_kernels", mlkem::kernel_set_name(mlkem::active_kernels())},
        {"libcrypto", primitives::libcrypto_version()},
        {"compiler", kCompiler},
    };
}

}  // namespace velora
