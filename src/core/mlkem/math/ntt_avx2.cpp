// NTT, NTT^-1 and the NTT-domain products on 16 coefficients per step.
//
// Layers whose butterflies join coefficients 16 or more apart work on whole
// vectors. The three layers inside a 16-coefficient vector (distances 8, 4
// and 2) work on a pair of vectors A, B (32 coefficients) regrouped so that
// each butterfly joins lane i of one register with lane i of the other:
//   distance 8: X = [A0-7 | B0-7], Y = [A8-15 | B8-15]       (128-bit halves)
//   distance 4: P = 64-bit units 0 of X and Y, Q = units 1   (unpack epi64)
//   distance 2: R = even 32-bit units of P and Q, S = odd ones (shufps;
//               back with unpack epi32)
// The first two regroupings are their own inverses; undoing all three puts
// the coefficients back in FIPS 203 order before they are stored.
//
// Arithmetic: signed 16-bit lanes, products by Montgomery multiplication
// with constants in Montgomery form, so every product is exact modulo q.
// The forward transform grows values by less than q per layer and stays
// below 2^15 over all seven layers; the inverse is Barrett-reduced after
// every second layer. The last step maps every lane to its canonical value,
// so the result equals the scalar transform coefficient for coefficient.
// No branch or memory index depends on a coefficient.
#include "core/mlkem/math/avx2.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <array>

#include "core/mlkem/math/avx2_common.hpp"
#include "core/mlkem/math/ntt.hpp"

namespace velora::mlkem::avx2 {

using namespace detail;

namespace {

// Montgomery constants of one zeta per lane.
struct LaneConstants {
    alignas(32) std::array<std::int16_t, 16> value;
    alignas(32) std::array<std::int16_t, 16> qinv;
};

constexpr LaneConstants lanes_from(const std::array<std::size_t, 16>& zeta_index, bool negate) {
    LaneConstants c{};
    for (std::size_t l = 0; l < 16; ++l) {
        const std::uint16_t z = ZETAS[zeta_index[l]];
        const std::uint16_t zz = negate ? static_cast<std::uint16_t>((Q - z) % Q) : z;
        c.value[l] = to_montgomery(zz);
        c.qinv[l] = times_qinv(c.value[l]);
    }
    return c;
}

struct NttTables {
    // ZETAS[0 .. 15] in every lane, for the layers whose blocks span whole
    // vectors (plain loads instead of broadcasts).
    std::array<LaneConstants, 16> wide;
    // Per 32-coefficient chunk c, the lane zetas of the distance-8, -4 and -2
    // layers in the X/Y, P/Q and R/S groupings.
    std::array<LaneConstants, 8> fwd8, fwd4, fwd2;
    std::array<LaneConstants, 8> inv8, inv4, inv2;
    // gamma_p * 2^16 at the odd lane of each pair p, for the base-case products.
    std::array<LaneConstants, 16> gamma;
};

// Lane l of grouping X/Y covers block h = l / 8 of the chunk (A or B), of
// P/Q block t = l / 4, of R/S block u = kRsBlock[l / 2] (R holds the 32-bit
// units A0-1, A8-9, A4-5, A12-13 | B0-1, B8-9, B4-5, B12-13, S their
// partners); the blocks of one chunk are consecutive in the layer's zeta order.
constexpr std::array<std::size_t, 8> kRsBlock = {0, 2, 1, 3, 4, 6, 5, 7};

constexpr NttTables make_tables() {
    NttTables t{};
    for (std::size_t i = 0; i < 16; ++i) {
        std::array<std::size_t, 16> same{};
        same.fill(i);
        t.wide[i] = lanes_from(same, false);
    }
    for (std::size_t c = 0; c < 8; ++c) {
        std::array<std::size_t, 16> f8{}, f4{}, f2{}, i8{}, i4{}, i2{};
        for (std::size_t l = 0; l < 16; ++l) {
            f8[l] = 16 + 2 * c + l / 8;
            f4[l] = 32 + 4 * c + l / 4;
            f2[l] = 64 + 8 * c + kRsBlock[l / 2];
            i8[l] = 31 - (2 * c + l / 8);
            i4[l] = 63 - (4 * c + l / 4);
            i2[l] = 127 - (8 * c + kRsBlock[l / 2]);
        }
        t.fwd8[c] = lanes_from(f8, false);
        t.fwd4[c] = lanes_from(f4, false);
        t.fwd2[c] = lanes_from(f2, false);
        t.inv8[c] = lanes_from(i8, false);
        t.inv4[c] = lanes_from(i4, false);
        t.inv2[c] = lanes_from(i2, false);
    }
    // Pair p = 8 v + l / 2 of vector v: gamma_p = ZETAS[64 + p / 2], negated for odd p.
    for (std::size_t v = 0; v < 16; ++v) {
        std::array<std::size_t, 16> idx{};
        for (std::size_t l = 0; l < 16; ++l) idx[l] = 64 + (8 * v + l / 2) / 2;
        const LaneConstants even = lanes_from(idx, false), odd = lanes_from(idx, true);
        for (std::size_t l = 0; l < 16; ++l) {
            const bool odd_pair = ((8 * v + l / 2) % 2) == 1;
            const bool odd_lane = (l % 2) == 1;
            t.gamma[v].value[l] = odd_lane ? (odd_pair ? odd.value[l] : even.value[l]) : std::int16_t{0};
            t.gamma[v].qinv[l] = odd_lane ? (odd_pair ? odd.qinv[l] : even.qinv[l]) : std::int16_t{0};
        }
    }
    return t;
}

constexpr NttTables kTables = make_tables();

VELORA_AVX2 inline __m256i lane_load(const std::array<std::int16_t, 16>& a) noexcept {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(a.data()));
}

// Cooley-Tukey: (a, b) -> (a + z b, a - z b).
VELORA_AVX2 inline void ct(__m256i& a, __m256i& b, __m256i z, __m256i zq) noexcept {
    const __m256i t = montgomery_multiply(b, z, zq);
    b = _mm256_sub_epi16(a, t);
    a = _mm256_add_epi16(a, t);
}
VELORA_AVX2 inline void ct(__m256i& a, __m256i& b, const LaneConstants& c) noexcept {
    ct(a, b, lane_load(c.value), lane_load(c.qinv));
}

// Gentleman-Sande: (a, b) -> (a + b, z (b - a)).
VELORA_AVX2 inline void gs(__m256i& a, __m256i& b, __m256i z, __m256i zq) noexcept {
    const __m256i d = _mm256_sub_epi16(b, a);
    a = _mm256_add_epi16(a, b);
    b = montgomery_multiply(d, z, zq);
}
VELORA_AVX2 inline void gs(__m256i& a, __m256i& b, const LaneConstants& c) noexcept {
    gs(a, b, lane_load(c.value), lane_load(c.qinv));
}

VELORA_AVX2 inline __m256i broadcast(std::int16_t v) noexcept { return _mm256_set1_epi16(v); }

// The regroupings (each an involution on the pair).
VELORA_AVX2 inline void swap128(__m256i& a, __m256i& b) noexcept {
    const __m256i x = _mm256_permute2x128_si256(a, b, 0x20);
    b = _mm256_permute2x128_si256(a, b, 0x31);
    a = x;
}
VELORA_AVX2 inline void swap64(__m256i& a, __m256i& b) noexcept {
    const __m256i x = _mm256_unpacklo_epi64(a, b);
    b = _mm256_unpackhi_epi64(a, b);
    a = x;
}
// P/Q -> R/S: even 32-bit units, then odd ones.
VELORA_AVX2 inline void split32(__m256i& a, __m256i& b) noexcept {
    const __m256 x = _mm256_castsi256_ps(a), y = _mm256_castsi256_ps(b);
    a = _mm256_castps_si256(_mm256_shuffle_ps(x, y, 0x88));
    b = _mm256_castps_si256(_mm256_shuffle_ps(x, y, 0xDD));
}
// R/S -> P/Q.
VELORA_AVX2 inline void join32(__m256i& a, __m256i& b) noexcept {
    const __m256i x = _mm256_unpacklo_epi32(a, b);
    b = _mm256_unpackhi_epi32(a, b);
    a = x;
}

VELORA_AVX2 inline void ct_wide(__m256i& a, __m256i& b, std::size_t i) noexcept { ct(a, b, kTables.wide[i]); }
VELORA_AVX2 inline void gs_wide(__m256i& a, __m256i& b, std::size_t i) noexcept { gs(a, b, kTables.wide[i]); }

// The four layers inside one 32-coefficient chunk c (len = 16, 8, 4, 2), on
// the pair of vectors (a, b) = coefficients 32c .. 32c + 31.
VELORA_AVX2 inline void ntt_chunk(__m256i& a, __m256i& b, std::size_t c) noexcept {
    ct_wide(a, b, 8 + c);  // len = 16
    swap128(a, b);
    ct(a, b, kTables.fwd8[c]);  // len = 8
    swap64(a, b);
    ct(a, b, kTables.fwd4[c]);  // len = 4
    split32(a, b);
    a = barrett_reduce(a);      // [0, q], so that the last layer ends in (-q, 2q)
    ct(a, b, kTables.fwd2[c]);  // len = 2
    join32(a, b);
    swap64(a, b);
    swap128(a, b);
}

// The same layers of NTT^-1 in reverse (len = 2, 4, 8, 16); the sums are
// Barrett-reduced after len = 4.
VELORA_AVX2 inline void ntt_inverse_chunk(__m256i& a, __m256i& b, std::size_t c) noexcept {
    swap128(a, b);
    swap64(a, b);
    split32(a, b);
    gs(a, b, kTables.inv2[c]);  // len = 2
    join32(a, b);
    gs(a, b, kTables.inv4[c]);  // len = 4
    a = barrett_reduce(a);
    swap64(a, b);
    gs(a, b, kTables.inv8[c]);  // len = 8
    swap128(a, b);
    gs_wide(a, b, 15 - c);  // len = 16
}

}  // namespace

// Algorithm 9. The len = 128 layer over the whole polynomial, then each half
// (128 coefficients, eight vectors) through the other six layers in
// registers. Layer bounds: each layer adds less than q (the Montgomery
// product is below q in magnitude), so |value| < 7q < 2^15 throughout. The
// sums entering the last layer are Barrett-reduced to [0, q], so its outputs
// lie in (-q, 2q) and two conditional corrections make them canonical.
VELORA_AVX2 Native ntt(Poly& f) noexcept {
    for (std::size_t j = 0; j < 8; ++j) {
        __m256i a = load(f, j), b = load(f, j + 8);
        ct_wide(a, b, 1);
        store(f, j, a);
        store(f, j + 8, b);
    }
    for (std::size_t h = 0; h < 2; ++h) {
        __m256i r[8];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) r[j] = load(f, 8 * h + j);
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) ct_wide(r[j], r[j + 4], 2 + h);  // len = 64: vectors j, j + 4
#pragma GCC unroll 2
        for (std::size_t t = 0; t < 2; ++t) {  // len = 32: two blocks, vectors 4t + j and 4t + j + 2
            ct_wide(r[4 * t], r[4 * t + 2], 4 + 2 * h + t);
            ct_wide(r[4 * t + 1], r[4 * t + 3], 4 + 2 * h + t);
        }
#pragma GCC unroll 4
        for (std::size_t t = 0; t < 4; ++t) ntt_chunk(r[2 * t], r[2 * t + 1], 4 * h + t);
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) store(f, 8 * h + j, reduce_once(fix_negative(r[j])));
    }
    return Native::Done;
}

// Algorithm 10, with the scaling by 128^-1 folded into the last layer (the
// same residues as the separate pass of the scalar loop). Each half goes
// through the first six layers in registers, then the len = 128 layer joins
// the halves. Bounds: inputs are canonical; a sum at most doubles per layer
// and a Montgomery product stays below q in magnitude. The sums are Barrett-
// reduced (to [0, q]) after len = 4 and after len = 32, so no lane or
// difference exceeds 8q < 2^15: 4q after len = 4 before reducing, then 2q,
// 4q, 8q up to len = 32, then 2q, 4q up to len = 128.
VELORA_AVX2 Native ntt_inverse(Poly& f) noexcept {
    for (std::size_t h = 0; h < 2; ++h) {
        __m256i r[8];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) r[j] = load(f, 8 * h + j);
#pragma GCC unroll 4
        for (std::size_t t = 0; t < 4; ++t) ntt_inverse_chunk(r[2 * t], r[2 * t + 1], 4 * h + t);
#pragma GCC unroll 2
        for (std::size_t t = 0; t < 2; ++t) {  // len = 32
            gs_wide(r[4 * t], r[4 * t + 2], 7 - (2 * h + t));
            gs_wide(r[4 * t + 1], r[4 * t + 3], 7 - (2 * h + t));
            r[4 * t] = barrett_reduce(r[4 * t]);
            r[4 * t + 1] = barrett_reduce(r[4 * t + 1]);
        }
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) gs_wide(r[j], r[j + 4], 3 - h);  // len = 64
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) store(f, 8 * h + j, r[j]);
    }
    // len = 128 with ZETAS[1], then both outputs times 128^-1 (Montgomery form).
    constexpr std::int16_t kScale = to_montgomery(kInverse128);
    const __m256i s = broadcast(kScale), sq = broadcast(times_qinv(kScale));
    for (std::size_t j = 0; j < 8; ++j) {
        __m256i a = load(f, j), b = load(f, j + 8);
        gs_wide(a, b, 1);
        store(f, j, fix_negative(montgomery_multiply(a, s, sq)));
        store(f, j + 8, fix_negative(montgomery_multiply(b, s, sq)));
    }
    return Native::Done;
}

// Matrix-vector product in the NTT domain (Algorithms 11 and 12 for every
// entry, summed along each row). For pair p of a row entry a and of y[j] = b,
// with g = gamma_p:
//   c0 = a0 b0 + a1 (b1 g),   c1 = a0 b1 + a1 b0.
// Each y[j] is prepared once for all rows: B0 = (b0, b1 g mod q) and
// B1 = (b1, b0) per pair, with b1 g a Montgomery product by g 2^16 mod q.
// Then each term is two madd (pairs of 16-bit products summed exactly in
// 32 bits, below 2^25 in magnitude) into 32-bit accumulators. At the end of
// a row one Montgomery reduction gives sum 2^-16, and a Montgomery product
// with 2^32 mod q restores sum mod q, made canonical. y is taken in groups of
// at most four polynomials (every parameter set needs one group); the
// results of several groups are added mod q.
VELORA_AVX2 Native multiply_matrix_vector_ntt(std::span<const Poly> rows, std::span<const Poly> y,
                                              std::span<Poly> out) noexcept {
    const std::size_t n = y.size();
    const __m256i swap_pairs = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                                2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    constexpr std::int16_t kR2 = 1353;  // 2^32 mod q
    const __m256i r2 = broadcast(kR2), r2q = broadcast(times_qinv(kR2));
    constexpr std::size_t kGroup = kMaxRank;
    __m256i b0[kGroup][16], b1[kGroup][16];
    if (n == 0) {
        for (Poly& f : out) f = Poly{};
        return Native::Done;
    }
    for (std::size_t g0 = 0; g0 < n; g0 += kGroup) {
        const std::size_t g = n - g0 < kGroup ? n - g0 : kGroup;
        for (std::size_t j = 0; j < g; ++j) {
            for (std::size_t v = 0; v < 16; ++v) {
                const __m256i b = load(y[g0 + j], v);
                const __m256i bg = montgomery_multiply(b, lane_load(kTables.gamma[v].value),
                                                       lane_load(kTables.gamma[v].qinv));  // odd lanes
                b0[j][v] = _mm256_blend_epi16(b, bg, 0xAA);
                b1[j][v] = _mm256_shuffle_epi8(b, swap_pairs);
            }
        }
        for (std::size_t r = 0; r < out.size(); ++r) {
            const Poly* row = rows.data() + r * n + g0;
            for (std::size_t v = 0; v < 16; ++v) {
                __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
                for (std::size_t j = 0; j < g; ++j) {
                    const __m256i a = load(row[j], v);
                    acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(a, b0[j][v]));
                    acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(a, b1[j][v]));
                }
                // Low and high 16-bit halves of the 32-bit sums, c0 at even lanes, c1 at odd ones.
                const __m256i lo = _mm256_blend_epi16(acc0, _mm256_slli_epi32(acc1, 16), 0xAA);
                const __m256i hi = _mm256_blend_epi16(_mm256_srli_epi32(acc0, 16), acc1, 0xAA);
                __m256i c = fix_negative(montgomery_multiply(montgomery_reduce(lo, hi), r2, r2q));
                if (g0 != 0) c = reduce_once(_mm256_add_epi16(c, load(out[r], v)));
                store(out[r], v, c);
            }
        }
    }
    return Native::Done;
}

VELORA_AVX2 Native inner_product_ntt(std::span<const Poly> a, std::span<const Poly> b, Poly& out) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    return avx2::multiply_matrix_vector_ntt(a.first(n), b.first(n), std::span(&out, 1));
}

VELORA_AVX2 Native add(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t v = 0; v < 16; ++v) store(out, v, reduce_once(_mm256_add_epi16(load(a, v), load(b, v))));
    return Native::Done;
}

VELORA_AVX2 Native sub(const Poly& a, const Poly& b, Poly& out) noexcept {
    for (std::size_t v = 0; v < 16; ++v) store(out, v, fix_negative(_mm256_sub_epi16(load(a, v), load(b, v))));
    return Native::Done;
}

}  // namespace velora::mlkem::avx2

#endif
