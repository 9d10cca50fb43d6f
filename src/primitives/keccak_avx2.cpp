// Keccak-f[1600] on four states at once, one per 64-bit lane of the 256-bit
// AVX2 registers. Built with -mavx2 and -O3 (see CMakeLists.txt); called
// only when the CPU has AVX2.
#include "primitives/keccak.hpp"

#if VELORA_HAVE_X86_KECCAK

#include <immintrin.h>

#include "primitives/keccak_rounds.hpp"

namespace velora::primitives::keccak {
namespace {

struct Avx2 {
    using V = __m256i;
    static constexpr std::size_t kStates = 4;
    static V load(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::uint64_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static V xor2(V a, V b) { return _mm256_xor_si256(a, b); }
    static V xor5(V a, V b, V c, V d, V e) { return xor2(xor2(xor2(a, b), xor2(c, d)), e); }
    // Whole-byte rotations are one byte shuffle; the others two shifts.
    template <unsigned N>
    static V rol(V a) {
        if constexpr (N == 8) {
            return _mm256_shuffle_epi8(a, _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14, 7, 0,
                                                           1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14));
        } else if constexpr (N == 56) {
            return _mm256_shuffle_epi8(a, _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8, 1, 2,
                                                           3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8));
        } else {
            return _mm256_or_si256(_mm256_slli_epi64(a, N), _mm256_srli_epi64(a, 64 - N));
        }
    }
    static V chi(V a, V b, V c) { return _mm256_xor_si256(a, _mm256_andnot_si256(b, c)); }
    static V xor_constant(V a, std::uint64_t rc) {
        return _mm256_xor_si256(a, _mm256_set1_epi64x(static_cast<long long>(rc)));
    }
};

}  // namespace

void permute_avx2_x4(std::uint64_t* states) noexcept { rounds::permute_states<Avx2>(states); }

}  // namespace velora::primitives::keccak

#endif
