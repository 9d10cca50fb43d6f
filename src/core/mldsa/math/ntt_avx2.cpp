// NTT, NTT^-1 and NTT-domain products on 8 coefficients per step.
//
// Layers whose butterflies join coefficients 8 or more apart (lengths 128 to
// 8) work on whole vectors with one zeta broadcast. The three layers inside
// a vector (lengths 4, 2 and 1) work on a block of 64 coefficients
// transposed as an 8 x 8 matrix: register k then holds coefficient k of each
// group of eight, so a butterfly joins two registers lane by lane, with the
// zeta of each lane's group loaded from tables laid out for it (below).
//
// Arithmetic: every lane stays canonical, as in the scalar loops. Products
// are Montgomery multiplications by constants in Montgomery form on the
// 64-bit products of even and odd lanes; sums and differences are corrected
// by an unsigned minimum (s - q is below s exactly when s >= q, as unsigned
// values). The results are therefore those of the scalar transform.
#include "core/mldsa/math/avx2.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <immintrin.h>

#include <array>

#include "core/mldsa/math/field.hpp"
#include "core/mldsa/math/ntt.hpp"
#include "core/mldsa/math/rounding.hpp"

#define VELORA_AVX2 __attribute__((target("avx2")))

namespace velora::mldsa::avx2 {

namespace {

VELORA_AVX2 inline __m256i load(const Poly& f, std::size_t v) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(f.coeffs.data()) + v);
}
VELORA_AVX2 inline void store(Poly& f, std::size_t v, __m256i x) noexcept {
    _mm256_store_si256(reinterpret_cast<__m256i*>(f.coeffs.data()) + v, x);
}

VELORA_AVX2 inline __m256i q_vector() noexcept { return _mm256_set1_epi32(Q); }

// a + b mod q and a - b mod q for canonical lanes.
VELORA_AVX2 inline __m256i add(__m256i a, __m256i b) noexcept {
    const __m256i s = _mm256_add_epi32(a, b);
    return _mm256_min_epu32(s, _mm256_sub_epi32(s, q_vector()));
}
VELORA_AVX2 inline __m256i sub(__m256i a, __m256i b) noexcept {
    const __m256i d = _mm256_sub_epi32(a, b);
    return _mm256_min_epu32(d, _mm256_add_epi32(d, q_vector()));
}

// a * b * 2^-32 mod q, canonical, for canonical lanes a and b: per lane
// t = lo(a b) q^-1 mod 2^32 and r = hi(a b) - hi(t q), the two low halves
// being equal (montgomery_reduce in field.hpp, lane by lane).
VELORA_AVX2 inline __m256i montgomery_mul(__m256i a, __m256i b) noexcept {
    const __m256i q = q_vector();
    const __m256i t = _mm256_mullo_epi32(_mm256_mullo_epi32(a, b), _mm256_set1_epi32(static_cast<std::int32_t>(kQInv)));
    const __m256i ab_even = _mm256_mul_epi32(a, b);
    const __m256i ab_odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32));
    const __m256i tq_even = _mm256_mul_epi32(t, q);
    const __m256i tq_odd = _mm256_mul_epi32(_mm256_srli_epi64(t, 32), q);
    const __m256i r_even = _mm256_srli_epi64(_mm256_sub_epi64(ab_even, tq_even), 32);
    const __m256i r_odd = _mm256_sub_epi64(ab_odd, tq_odd);
    const __m256i r = _mm256_blend_epi32(r_even, r_odd, 0xAA);
    return _mm256_min_epu32(r, _mm256_add_epi32(r, q));
}

// The same with a constant b given with bq = b q^-1 mod 2^32: one low
// product fewer.
VELORA_AVX2 inline __m256i montgomery_mul_const(__m256i a, __m256i b, __m256i bq) noexcept {
    const __m256i q = q_vector();
    const __m256i t = _mm256_mullo_epi32(a, bq);
    const __m256i ab_even = _mm256_mul_epi32(a, b);
    const __m256i ab_odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32));
    const __m256i tq_even = _mm256_mul_epi32(t, q);
    const __m256i tq_odd = _mm256_mul_epi32(_mm256_srli_epi64(t, 32), q);
    const __m256i r_even = _mm256_srli_epi64(_mm256_sub_epi64(ab_even, tq_even), 32);
    const __m256i r_odd = _mm256_sub_epi64(ab_odd, tq_odd);
    const __m256i r = _mm256_blend_epi32(r_even, r_odd, 0xAA);
    return _mm256_min_epu32(r, _mm256_add_epi32(r, q));
}

// A constant and its companion b q^-1 mod 2^32, broadcast.
struct Constant {
    __m256i value, qinv;
};

constexpr std::int32_t times_qinv(std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(b) * kQInv);
}

VELORA_AVX2 inline Constant broadcast(std::int32_t b) noexcept {
    return {_mm256_set1_epi32(b), _mm256_set1_epi32(times_qinv(b))};
}

// 8 x 8 transpose of 32-bit lanes (its own inverse).
VELORA_AVX2 inline void transpose(__m256i (&r)[8]) noexcept {
    __m256i t[8];
    for (std::size_t i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    __m256i u[8];
    for (std::size_t i = 0; i < 8; i += 4) {
        u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
        r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
    }
}

// The zetas of the three in-register layers, lane i of block b (coefficients
// 64b .. 64b + 63) being the eight coefficients 64b + 8i .. 64b + 8i + 7:
// for length 4 their group is 8b + i; for length 2 the groups 16b + 2i + h
// (h = 0, 1: the two halves); for length 1 the groups 32b + 4i + h (h = 0 .. 3).
// Each table in two copies: [0] the zetas, [1] their companions z q^-1.
struct InnerZetas {
    alignas(32) std::array<std::array<std::array<std::int32_t, 8>, 4>, 2> len4;
    alignas(32) std::array<std::array<std::array<std::array<std::int32_t, 8>, 2>, 4>, 2> len2;
    alignas(32) std::array<std::array<std::array<std::array<std::int32_t, 8>, 4>, 4>, 2> len1;
};

constexpr InnerZetas make_inner_zetas(bool inverse) noexcept {
    // Group g of length len takes zetas[256 / (2 len) + g] in Algorithm 41,
    // and -zetas[256 / len - 1 - g] in Algorithm 42 (whose m counts down).
    InnerZetas z{};
    const auto zeta = [&](std::size_t len, std::size_t g) {
        return inverse ? field_neg(kZetasMontgomery[256 / len - 1 - g]) : kZetasMontgomery[256 / (2 * len) + g];
    };
    for (std::size_t b = 0; b < 4; ++b) {
        for (std::size_t i = 0; i < 8; ++i) {
            z.len4[0][b][i] = zeta(4, 8 * b + i);
            z.len4[1][b][i] = times_qinv(z.len4[0][b][i]);
            for (std::size_t h = 0; h < 2; ++h) {
                z.len2[0][b][h][i] = zeta(2, 16 * b + 2 * i + h);
                z.len2[1][b][h][i] = times_qinv(z.len2[0][b][h][i]);
            }
            for (std::size_t h = 0; h < 4; ++h) {
                z.len1[0][b][h][i] = zeta(1, 32 * b + 4 * i + h);
                z.len1[1][b][h][i] = times_qinv(z.len1[0][b][h][i]);
            }
        }
    }
    return z;
}

constexpr InnerZetas kForward = make_inner_zetas(false);
constexpr InnerZetas kInverse = make_inner_zetas(true);

VELORA_AVX2 inline __m256i load8(const std::array<std::int32_t, 8>& z) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(z.data()));
}

VELORA_AVX2 inline Constant lanes(const std::array<std::int32_t, 8>& z, const std::array<std::int32_t, 8>& zq) noexcept {
    return {load8(z), load8(zq)};
}

// Forward butterfly: (a, b) <- (a + z b, a - z b).
VELORA_AVX2 inline void forward(__m256i& a, __m256i& b, const Constant& z) noexcept {
    const __m256i t = montgomery_mul_const(b, z.value, z.qinv);
    b = sub(a, t);
    a = add(a, t);
}

// Inverse butterfly with z = -zeta: (a, b) <- (a + b, z (a - b)).
VELORA_AVX2 inline void inverse(__m256i& a, __m256i& b, const Constant& z) noexcept {
    const __m256i t = a;
    a = add(t, b);
    b = montgomery_mul_const(sub(t, b), z.value, z.qinv);
}

}  // namespace

VELORA_AVX2 Native ntt(Poly& w) noexcept {
    // Lengths 128 .. 8: vector v pairs with v + len / 8.
    std::size_t m = 0;
    for (std::size_t len = 128; len >= 8; len >>= 1) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const Constant z = broadcast(kZetasMontgomery[++m]);
            for (std::size_t j = start; j < start + len; j += 8) {
                __m256i a = load(w, j / 8), b = load(w, (j + len) / 8);
                forward(a, b, z);
                store(w, j / 8, a);
                store(w, (j + len) / 8, b);
            }
        }
    }
    // Lengths 4, 2, 1 on each transposed block of 64.
    for (std::size_t blk = 0; blk < 4; ++blk) {
        __m256i r[8];
        for (std::size_t i = 0; i < 8; ++i) r[i] = load(w, 8 * blk + i);
        transpose(r);
        const Constant z4 = lanes(kForward.len4[0][blk], kForward.len4[1][blk]);
        for (std::size_t k = 0; k < 4; ++k) forward(r[k], r[k + 4], z4);
        for (std::size_t h = 0; h < 2; ++h) {
            const Constant z2 = lanes(kForward.len2[0][blk][h], kForward.len2[1][blk][h]);
            forward(r[4 * h], r[4 * h + 2], z2);
            forward(r[4 * h + 1], r[4 * h + 3], z2);
        }
        for (std::size_t h = 0; h < 4; ++h) {
            forward(r[2 * h], r[2 * h + 1], lanes(kForward.len1[0][blk][h], kForward.len1[1][blk][h]));
        }
        transpose(r);
        for (std::size_t i = 0; i < 8; ++i) store(w, 8 * blk + i, r[i]);
    }
    return Native::Done;
}

VELORA_AVX2 Native ntt_inverse(Poly& w) noexcept {
    for (std::size_t blk = 0; blk < 4; ++blk) {
        __m256i r[8];
        for (std::size_t i = 0; i < 8; ++i) r[i] = load(w, 8 * blk + i);
        transpose(r);
        for (std::size_t h = 0; h < 4; ++h) {
            inverse(r[2 * h], r[2 * h + 1], lanes(kInverse.len1[0][blk][h], kInverse.len1[1][blk][h]));
        }
        for (std::size_t h = 0; h < 2; ++h) {
            const Constant z2 = lanes(kInverse.len2[0][blk][h], kInverse.len2[1][blk][h]);
            inverse(r[4 * h], r[4 * h + 2], z2);
            inverse(r[4 * h + 1], r[4 * h + 3], z2);
        }
        const Constant z4 = lanes(kInverse.len4[0][blk], kInverse.len4[1][blk]);
        for (std::size_t k = 0; k < 4; ++k) inverse(r[k], r[k + 4], z4);
        transpose(r);
        for (std::size_t i = 0; i < 8; ++i) store(w, 8 * blk + i, r[i]);
    }
    // Lengths 8 .. 128: m counts down from 31 to 1 as in Algorithm 42.
    std::size_t m = 32;
    for (std::size_t len = 8; len < kN; len <<= 1) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const Constant z = broadcast(field_neg(kZetasMontgomery[--m]));
            for (std::size_t j = start; j < start + len; j += 8) {
                __m256i a = load(w, j / 8), b = load(w, (j + len) / 8);
                inverse(a, b, z);
                store(w, j / 8, a);
                store(w, (j + len) / 8, b);
            }
        }
    }
    const Constant scale = broadcast(to_montgomery(kInverse256));
    for (std::size_t v = 0; v < kN / 8; ++v) store(w, v, montgomery_mul_const(load(w, v), scale.value, scale.qinv));
    return Native::Done;
}

VELORA_AVX2 Native pointwise(const Poly& a, const Poly& b, Poly& out) noexcept {
    const __m256i r2 = _mm256_set1_epi32(kMontR2);
    for (std::size_t v = 0; v < kN / 8; ++v) store(out, v, montgomery_mul(montgomery_mul(load(a, v), load(b, v)), r2));
    return Native::Done;
}

VELORA_AVX2 Native pointwise_acc(const Poly& a, const Poly& b, Poly& out) noexcept {
    const __m256i r2 = _mm256_set1_epi32(kMontR2);
    for (std::size_t v = 0; v < kN / 8; ++v) {
        store(out, v, add(load(out, v), montgomery_mul(montgomery_mul(load(a, v), load(b, v)), r2)));
    }
    return Native::Done;
}

VELORA_AVX2 Native montgomery_form(Poly& a) noexcept {
    const Constant r2 = broadcast(kMontR2);
    for (std::size_t v = 0; v < kN / 8; ++v) store(a, v, montgomery_mul_const(load(a, v), r2.value, r2.qinv));
    return Native::Done;
}

VELORA_AVX2 Native pointwise_montgomery(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t v = 0; v < kN / 8; ++v) store(out, v, montgomery_mul(load(a, v), load(b, v)));
    return Native::Done;
}

VELORA_AVX2 Native pointwise_montgomery_acc(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t v = 0; v < kN / 8; ++v) store(out, v, add(load(out, v), montgomery_mul(load(a, v), load(b, v))));
    return Native::Done;
}

// SampleInBall's swap: lane masks p == j over the vectors up to position i;
// c_j gathered by OR of the masked lanes, then c_i written (i is public),
// then the sign blended in at j.
VELORA_AVX2 Native ball_swap(Poly& c, std::size_t i, std::size_t j, std::int32_t sign) noexcept {
    const std::size_t vectors = i / 8 + 1;
    const __m256i jv = _mm256_set1_epi32(static_cast<std::int32_t>(j));
    const __m256i step = _mm256_set1_epi32(8);
    __m256i p = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i gathered = _mm256_setzero_si256();
    for (std::size_t v = 0; v < vectors; ++v) {
        gathered = _mm256_or_si256(gathered, _mm256_and_si256(load(c, v), _mm256_cmpeq_epi32(p, jv)));
        p = _mm256_add_epi32(p, step);
    }
    // Horizontal OR of the eight lanes (one of them holds c_j).
    __m128i x = _mm_or_si128(_mm256_castsi256_si128(gathered), _mm256_extracti128_si256(gathered, 1));
    x = _mm_or_si128(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_or_si128(x, _mm_shuffle_epi32(x, 0xB1));
    c[i] = _mm_cvtsi128_si32(x);
    const __m256i sv = _mm256_set1_epi32(sign);
    p = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::size_t v = 0; v < vectors; ++v) {
        store(c, v, _mm256_blendv_epi8(load(c, v), sv, _mm256_cmpeq_epi32(p, jv)));
        p = _mm256_add_epi32(p, step);
    }
    return Native::Done;
}

namespace {

// Decompose (rounding.hpp) lane by lane: the quotient by 2 gamma2 as a
// 64-bit product with the reciprocal (even and odd lanes), then the same
// mask corrections.
struct SplitLanes {
    __m256i high, low;
};

VELORA_AVX2 inline SplitLanes decompose_lanes(__m256i r, std::int32_t gamma2) noexcept {
    const __m256i m = _mm256_set1_epi64x(
        static_cast<long long>(gamma2 == kGamma2Small ? kReciprocalSmall : kReciprocalLarge));
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(r, m), 48);
    const __m256i odd = _mm256_slli_epi64(_mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(r, 32), m), 48), 32);
    __m256i r1 = _mm256_blend_epi32(even, odd, 0xAA);
    const __m256i g2 = _mm256_set1_epi32(gamma2);
    const __m256i two_g2 = _mm256_set1_epi32(2 * gamma2);
    __m256i r0 = _mm256_sub_epi32(r, _mm256_mullo_epi32(r1, two_g2));
    const __m256i above = _mm256_cmpgt_epi32(r0, g2);
    r0 = _mm256_sub_epi32(r0, _mm256_and_si256(two_g2, above));
    r1 = _mm256_sub_epi32(r1, above);
    const __m256i is_top = _mm256_cmpeq_epi32(r1, _mm256_set1_epi32(high_values(gamma2)));
    r1 = _mm256_andnot_si256(is_top, r1);
    r0 = _mm256_add_epi32(r0, is_top);
    return {r1, r0};
}

VELORA_AVX2 inline __m256i canonical_of_signed(__m256i x) noexcept {
    return _mm256_add_epi32(x, _mm256_and_si256(q_vector(), _mm256_srai_epi32(x, 31)));
}

}  // namespace

VELORA_AVX2 Native high_bits(const Poly& w, std::int32_t gamma2, Poly& w1) noexcept {
    for (std::size_t v = 0; v < kN / 8; ++v) store(w1, v, decompose_lanes(load(w, v), gamma2).high);
    return Native::Done;
}

VELORA_AVX2 Native low_bits(const Poly& w, std::int32_t gamma2, Poly& r0) noexcept {
    for (std::size_t v = 0; v < kN / 8; ++v) store(r0, v, canonical_of_signed(decompose_lanes(load(w, v), gamma2).low));
    return Native::Done;
}

VELORA_AVX2 Native make_hint(const Poly& z, const Poly& r, std::int32_t gamma2, Poly& h, std::size_t* ones) noexcept {
    __m256i count = _mm256_setzero_si256();
    for (std::size_t v = 0; v < kN / 8; ++v) {
        const __m256i rv = load(r, v);
        const __m256i differ = _mm256_xor_si256(
            _mm256_cmpeq_epi32(decompose_lanes(rv, gamma2).high, decompose_lanes(add(rv, load(z, v)), gamma2).high),
            _mm256_set1_epi32(-1));
        const __m256i bit = _mm256_srli_epi32(differ, 31);
        store(h, v, bit);
        count = _mm256_add_epi32(count, bit);
    }
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(count), _mm256_extracti128_si256(count, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
    *ones = static_cast<std::size_t>(_mm_cvtsi128_si32(x));
    return Native::Done;
}

}  // namespace velora::mldsa::avx2

#endif  // VELORA_HAVE_AVX2_KERNELS
