// Shared pieces of the AVX2 kernels: lane arithmetic modulo q on signed
// 16-bit lanes. Included only by the *_avx2.cpp files; every function here
// carries the AVX2 target attribute so that it inlines into the kernels.
#pragma once

#include "core/mlkem/math/kernels.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <immintrin.h>

#include <cstdint>

#include "core/mlkem/math/field.hpp"
#include "core/mlkem/math/poly.hpp"

#define VELORA_AVX2 __attribute__((target("avx2")))

namespace velora::mlkem::avx2::detail {

inline constexpr std::int16_t kQ16 = static_cast<std::int16_t>(Q);
inline constexpr std::int16_t kQinv = -3327;  // q^-1 mod 2^16, as a signed value

static_assert(static_cast<std::uint16_t>(Q * static_cast<std::uint16_t>(kQinv)) == 1);

// z * 2^16 mod q, centred in [-(q - 1) / 2, (q - 1) / 2]: the Montgomery form
// of a constant, so that montgomery_multiply by it multiplies by z.
constexpr std::int16_t to_montgomery(std::uint32_t z) noexcept {
    auto r = static_cast<std::int32_t>((z % Q) * 65536u % Q);
    if (r > static_cast<std::int32_t>(Q / 2)) r -= Q;
    return static_cast<std::int16_t>(r);
}

// The companion of a Montgomery constant c: c * q^-1 mod 2^16.
constexpr std::int16_t times_qinv(std::int16_t c) noexcept {
    const std::uint32_t product = std::uint32_t{static_cast<std::uint16_t>(c)} * static_cast<std::uint16_t>(kQinv);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(product));
}

// Loads and stores of whole polynomials (Poly is 32-byte aligned).
VELORA_AVX2 inline __m256i load(const Poly& f, std::size_t v) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(f.coeffs.data()) + v);
}
VELORA_AVX2 inline void store(Poly& f, std::size_t v, __m256i x) noexcept {
    _mm256_store_si256(reinterpret_cast<__m256i*>(f.coeffs.data()) + v, x);
}

// a * b * 2^-16 mod q for lanes a with |a| < 2^15 and a constant b (with
// bq = b * q^-1 mod 2^16), |b| <= q / 2. Result r = hi(a b) - hi(m q) with
// m = lo(a bq): the low halves of a b and m q agree, so the difference is
// exact and |r| <= |a| |b| / 2^16 + q / 2 + 1 < q.
VELORA_AVX2 inline __m256i montgomery_multiply(__m256i a, __m256i b, __m256i bq) noexcept {
    const __m256i hi = _mm256_mulhi_epi16(a, b);
    const __m256i m = _mm256_mullo_epi16(a, bq);
    return _mm256_sub_epi16(hi, _mm256_mulhi_epi16(m, _mm256_set1_epi16(kQ16)));
}

// Montgomery reduction of the 32-bit value whose low and high halves are
// lanes lo and hi: (hi * 2^16 + lo) * 2^-16 mod q, exact for |value| < 2^31,
// result in (-(|hi| + q / 2 + 1), |hi| + q / 2 + 1).
VELORA_AVX2 inline __m256i montgomery_reduce(__m256i lo, __m256i hi) noexcept {
    const __m256i m = _mm256_mullo_epi16(lo, _mm256_set1_epi16(kQinv));
    return _mm256_sub_epi16(hi, _mm256_mulhi_epi16(m, _mm256_set1_epi16(kQ16)));
}

// a - q * floor(a * 20159 / 2^26) for any signed 16-bit a: lies in [0, q]
// (checked for every 16-bit value in the tests).
VELORA_AVX2 inline __m256i barrett_reduce(__m256i a) noexcept {
    __m256i t = _mm256_mulhi_epi16(a, _mm256_set1_epi16(20159));
    t = _mm256_srai_epi16(t, 10);
    return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, _mm256_set1_epi16(kQ16)));
}

// [0, q] -> [0, q): x - q when that does not wrap (unsigned minimum).
VELORA_AVX2 inline __m256i reduce_once(__m256i x) noexcept {
    return _mm256_min_epu16(x, _mm256_sub_epi16(x, _mm256_set1_epi16(kQ16)));
}

// (-q, q) -> [0, q): x + q for negative x (unsigned minimum).
VELORA_AVX2 inline __m256i fix_negative(__m256i x) noexcept {
    return _mm256_min_epu16(x, _mm256_add_epi16(x, _mm256_set1_epi16(kQ16)));
}

// Any signed 16-bit value -> its canonical residue.
VELORA_AVX2 inline __m256i canonical(__m256i x) noexcept { return reduce_once(barrett_reduce(x)); }

}  // namespace velora::mlkem::avx2::detail

#endif
