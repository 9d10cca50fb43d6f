// Choice between the scalar coefficient loops and the AVX2 kernels.
//
// The two give bit-identical results: every AVX2 kernel returns the same
// canonical coefficients (and bytes) as the scalar definition next to it.
// The choice is made once per process, from the CPU's feature flags, and
// kept in a function-local constant; nothing else is global.
#pragma once

#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VELORA_HAVE_AVX2_KERNELS 1
#else
#define VELORA_HAVE_AVX2_KERNELS 0
#endif

namespace velora::mlkem {

enum class KernelSet : std::uint8_t { Scalar, Avx2 };

// Whether this CPU (and operating system) can run the AVX2 kernels.
bool cpu_supports_avx2() noexcept;

// The detection behind active_kernels(); runs once. In test builds
// (VELORA_TEST_SWITCHES) the environment variable VELORA_FORCE_SCALAR=1
// selects the scalar loops so that the whole engine can be checked on both.
KernelSet detect_kernels() noexcept;

// "avx2" or "scalar".
const char* kernel_set_name(KernelSet kernels) noexcept;

inline KernelSet active_kernels() noexcept {
    static const KernelSet kernels = detect_kernels();
    return kernels;
}

inline bool use_avx2() noexcept {
#if VELORA_HAVE_AVX2_KERNELS
    return active_kernels() == KernelSet::Avx2;
#else
    return false;
#endif
}

}  // namespace velora::mlkem
