// The choice of the Keccak path.
#include "primitives/keccak.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velora::primitives::keccak {
namespace {

constexpr Kernels kScalar{permute_scalar, nullptr, nullptr};
#if VELORA_HAVE_X86_KECCAK
constexpr Kernels kAvx2{permute_bmi2, permute_avx2_x4, nullptr};
constexpr Kernels kAvx512{permute_bmi2, permute_avx512_x4, permute_avx512_x8};
#endif

#if defined(VELORA_TEST_SWITCHES) && VELORA_TEST_SWITCHES
enum class Request : std::uint8_t { None, Known, Unknown };

// What VELORA_KECCAK asks for: nothing, a path (into out), or a name that is
// no path.
Request requested_path(Path& out) noexcept {
    const char* name = std::getenv("VELORA_KECCAK");
    if (name == nullptr) return Request::None;
    for (Path p : kAllPaths) {
        if (std::strcmp(name, path_name(p)) == 0) {
            out = p;
            return Request::Known;
        }
    }
    return Request::Unknown;
}
#endif

Path best_path() noexcept {
    if (path_available(Path::Avx512)) return Path::Avx512;
    if (path_available(Path::Avx2)) return Path::Avx2;
    return Path::Scalar;
}

}  // namespace

const char* path_name(Path path) noexcept {
    switch (path) {
        case Path::Libcrypto: return "libcrypto";
        case Path::Scalar: return "scalar";
        case Path::Avx2: return "avx2";
        case Path::Avx512: return "avx512";
    }
    return "unknown";
}

bool path_available(Path path) noexcept {
    switch (path) {
        case Path::Libcrypto:
        case Path::Scalar:
            return true;
        case Path::Avx2:
        case Path::Avx512: {
#if VELORA_HAVE_X86_KECCAK
            // __builtin_cpu_supports also checks that the operating system
            // saves the vector state (YMM for AVX2; opmask and ZMM for AVX-512).
            __builtin_cpu_init();
            const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                              __builtin_cpu_supports("bmi2");
            if (path == Path::Avx2) return avx2;
            return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
            return false;
#endif
        }
    }
    return false;
}

const Kernels& kernels(Path path) noexcept {
#if VELORA_HAVE_X86_KECCAK
    if (path == Path::Avx512) return kAvx512;
    if (path == Path::Avx2) return kAvx2;
#else
    (void)path;
#endif
    return kScalar;
}

Path detect_path() noexcept {
#if defined(VELORA_TEST_SWITCHES) && VELORA_TEST_SWITCHES
    Path requested{};
    if (requested_path(requested) == Request::Known && path_available(requested)) return requested;
#endif
    return best_path();
}

bool requested_path_unavailable() noexcept {
#if defined(VELORA_TEST_SWITCHES) && VELORA_TEST_SWITCHES
    Path requested{};
    const Request r = requested_path(requested);
    return r == Request::Unknown || (r == Request::Known && !path_available(requested));
#else
    return false;
#endif
}

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
PermutationCounts& permutation_counts() noexcept {
    thread_local PermutationCounts counts;
    return counts;
}
#endif

}  // namespace velora::primitives::keccak
