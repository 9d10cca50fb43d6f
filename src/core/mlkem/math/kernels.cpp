// One-time kernel detection.
#include "core/mlkem/math/kernels.hpp"

#include <cstdlib>
#include <cstring>

namespace velora::mlkem {

bool cpu_supports_avx2() noexcept {
#if VELORA_HAVE_AVX2_KERNELS
    // __builtin_cpu_supports also checks that the OS saves the YMM state.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

KernelSet detect_kernels() noexcept {
#if defined(VELORA_TEST_SWITCHES) && VELORA_TEST_SWITCHES
    const char* force = std::getenv("VELORA_FORCE_SCALAR");
    if (force != nullptr && std::strcmp(force, "1") == 0) return KernelSet::Scalar;
#endif
    return cpu_supports_avx2() ? KernelSet::Avx2 : KernelSet::Scalar;
}

const char* kernel_set_name(KernelSet kernels) noexcept { return kernels == KernelSet::Avx2 ? "avx2" : "scalar"; }

}  // namespace velora::mlkem
