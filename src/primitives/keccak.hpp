// Keccak-f[1600] (FIPS 202 section 3): the permutation kernels and the choice
// of the Keccak path, made once per process like the ML-KEM kernel set.
//
// A path is a set of kernels: x1 permutes one state; x4 and x8 permute 4 or
// 8 independent states at once, stored side by side (word w of state j at
// index N*w + j, so that one vector load takes word w of every state).
//
//   avx512     x8 on 512-bit registers, x4 on 256-bit registers with the
//              AVX-512VL instructions (three-input logic, rotates), and x1
//              on general-purpose registers with BMI1/BMI2;
//   avx2       x4 on AVX2, x1 with BMI1/BMI2;
//   scalar     x1 only, portable C++;
//   libcrypto  no kernels: every SHA-3 function goes through libcrypto's EVP
//              interface (kept as a reference and for testing).
//
// The vector kernels live in their own files built with per-file target
// flags (see CMakeLists.txt) and are called only when the CPU has the
// instructions. No kernel branches or indexes memory on the state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "primitives/keccak_constants.hpp"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VELORA_HAVE_X86_KECCAK 1
#else
#define VELORA_HAVE_X86_KECCAK 0
#endif

namespace velora::primitives::keccak {

inline constexpr std::size_t kMaxWidth = 8;

enum class Path : std::uint8_t { Libcrypto, Scalar, Avx2, Avx512 };

inline constexpr std::array<Path, 4> kAllPaths = {Path::Libcrypto, Path::Scalar, Path::Avx2, Path::Avx512};

using Kernel = void (*)(std::uint64_t* states) noexcept;

struct Kernels {
    Kernel x1 = nullptr;
    Kernel x4 = nullptr;  // null: the path has no 4-state kernel
    Kernel x8 = nullptr;  // null: the path has no 8-state kernel

    std::size_t widest() const noexcept { return x8 != nullptr ? 8 : x4 != nullptr ? 4 : 1; }
    // The narrowest batch that holds n states (n <= widest()).
    std::size_t width_for(std::size_t n) const noexcept { return n <= 1 ? 1 : n <= 4 && x4 != nullptr ? 4 : widest(); }
};

// "libcrypto", "scalar", "avx2", "avx512".
const char* path_name(Path path) noexcept;

// Whether this CPU (and operating system) can run the path.
bool path_available(Path path) noexcept;

// The kernels of a path other than Libcrypto. Precondition: path_available.
const Kernels& kernels(Path path) noexcept;

// The best path this CPU runs. In test builds (VELORA_TEST_SWITCHES) the
// environment variable VELORA_KECCAK=<name> selects another one where the
// CPU can run it, so that the engine can be checked on each.
Path detect_path() noexcept;

inline Path active_path() noexcept {
    static const Path path = detect_path();
    return path;
}

// Whether VELORA_KECCAK (test builds) asked for a path this CPU cannot run,
// or named none; detect_path() then gave the best one instead.
bool requested_path_unavailable() noexcept;

#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
// Benchmark builds only: the permutation calls of the calling thread, per
// kind (libcrypto: the permutations its SHA-3 functions performed, derived
// from the input and output lengths).
struct PermutationCounts {
    std::uint64_t x1 = 0, x4 = 0, x8 = 0, libcrypto = 0;
};
PermutationCounts& permutation_counts() noexcept;
#endif

// Runs the kernel of the given width (1, 4 or 8; the path must have it).
inline void permute(const Kernels& k, std::size_t width, std::uint64_t* states) noexcept {
#if defined(VELORA_COUNT_KECCAK) && VELORA_COUNT_KECCAK
    PermutationCounts& c = permutation_counts();
    (width == 8 ? c.x8 : width == 4 ? c.x4 : c.x1) += 1;
#endif
    (width == 8 ? k.x8 : width == 4 ? k.x4 : k.x1)(states);
}

// The kernels (keccak_scalar.cpp and the per-target files).
void permute_scalar(std::uint64_t* state) noexcept;
#if VELORA_HAVE_X86_KECCAK
void permute_bmi2(std::uint64_t* state) noexcept;
void permute_avx2_x4(std::uint64_t* states) noexcept;
void permute_avx512_x4(std::uint64_t* states) noexcept;
void permute_avx512_x8(std::uint64_t* states) noexcept;
#endif

}  // namespace velora::primitives::keccak
