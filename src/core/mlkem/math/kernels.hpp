// Choice between the scalar coefficient loops and the AVX2 kernels.
//
// The two give bit-identical results: every AVX2 kernel returns the same
// canonical coefficients (and bytes) as the scalar definition next to it.
// The choice is made once per process, from the CPU's feature flags, and
// kept in a function-local constant; nothing else is global.
//
// Every operation dispatches the same way:
//
//   if (run_native([&] { return avx2::ntt(f); })) return check_bound(f, Q, "ntt");
//   scalar::ntt(f);
//
// A kernel answers Native::Fallback for arguments it does not handle (a
// width it has no code for), and the scalar loop runs instead; the caller
// need not know the kernel's limits. In debug and sanitizer builds
// (VELORA_CHECK_BOUNDS) check_bound then verifies that every coefficient the
// kernel returned is below its bound.
#pragma once

#include <cstdint>
#include <span>

#include "core/mlkem/math/poly.hpp"

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

// What a native kernel did: the whole job, or nothing (the caller falls back
// to the scalar loop).
enum class Native : std::uint8_t { Done, Fallback };

// Runs the native kernel call when the AVX2 kernels are in use; whether it
// did the job.
template <class F>
bool run_native([[maybe_unused]] F&& kernel) noexcept {
#if VELORA_HAVE_AVX2_KERNELS
    return use_avx2() && kernel() == Native::Done;
#else
    return false;
#endif
}

// Debug and sanitizer builds: aborts, naming the kernel, unless every
// coefficient of the polynomials is below bound. Elsewhere it does nothing.
#if defined(VELORA_CHECK_BOUNDS) && VELORA_CHECK_BOUNDS
void check_bound(std::span<const Poly> polys, std::uint32_t bound, const char* kernel) noexcept;
#else
inline void check_bound(std::span<const Poly>, std::uint32_t, const char*) noexcept {}
#endif
inline void check_bound(const Poly& f, std::uint32_t bound, const char* kernel) noexcept {
    check_bound(std::span(&f, 1), bound, kernel);
}

}  // namespace velora::mlkem
