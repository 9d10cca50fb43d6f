// Keccak-f[1600] on eight states at once in the 512-bit registers, and on
// four in the 256-bit registers with the AVX-512VL forms of the same
// instructions: three-input logic (vpternlogq) for theta's column sums and
// for chi, and lane rotations (vprolq). Built with -mavx512f -mavx512vl and
// -O3 (see CMakeLists.txt); called only when the CPU has AVX-512F and VL.
#include "primitives/keccak.hpp"

#if VELORA_HAVE_X86_KECCAK

#include <immintrin.h>

#include "primitives/keccak_rounds.hpp"

// GCC 12 reports the _mm512_undefined_epi32() inside its own
// _mm512_rol_epi64 as (maybe) used uninitialized, a false positive of the
// header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace velora::primitives::keccak {
namespace {

// Truth tables of vpternlogq: a ^ b ^ c, and a ^ (~b & c).
constexpr int kXor3 = 0x96;
constexpr int kChi = 0xD2;

struct Avx512 {
    using V = __m512i;
    static constexpr std::size_t kStates = 8;
    static V load(const std::uint64_t* p) { return _mm512_loadu_si512(p); }
    static void store(std::uint64_t* p, V v) { _mm512_storeu_si512(p, v); }
    static V xor2(V a, V b) { return _mm512_xor_si512(a, b); }
    static V xor5(V a, V b, V c, V d, V e) {
        return _mm512_ternarylogic_epi64(_mm512_ternarylogic_epi64(a, b, c, kXor3), d, e, kXor3);
    }
    template <unsigned N>
    static V rol(V a) {
        return _mm512_rol_epi64(a, N);
    }
    static V chi(V a, V b, V c) { return _mm512_ternarylogic_epi64(a, b, c, kChi); }
    static V xor_constant(V a, std::uint64_t rc) {
        return _mm512_xor_si512(a, _mm512_set1_epi64(static_cast<long long>(rc)));
    }
};

struct Avx512Vl {
    using V = __m256i;
    static constexpr std::size_t kStates = 4;
    static V load(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::uint64_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static V xor2(V a, V b) { return _mm256_xor_si256(a, b); }
    static V xor5(V a, V b, V c, V d, V e) {
        return _mm256_ternarylogic_epi64(_mm256_ternarylogic_epi64(a, b, c, kXor3), d, e, kXor3);
    }
    template <unsigned N>
    static V rol(V a) {
        return _mm256_rol_epi64(a, N);
    }
    static V chi(V a, V b, V c) { return _mm256_ternarylogic_epi64(a, b, c, kChi); }
    static V xor_constant(V a, std::uint64_t rc) {
        return _mm256_xor_si256(a, _mm256_set1_epi64x(static_cast<long long>(rc)));
    }
};

}  // namespace

void permute_avx512_x8(std::uint64_t* states) noexcept { rounds::permute_states<Avx512>(states); }

void permute_avx512_x4(std::uint64_t* states) noexcept { rounds::permute_states<Avx512Vl>(states); }

}  // namespace velora::primitives::keccak

#endif
