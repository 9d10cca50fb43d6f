// Compression and the byte encodings on 16 coefficients per step.
//
// Packing ByteEncode_d (d = 4, 5, 10, 11, 12), 16 values into 2d bytes:
//   1. madd with (1, 2^d) joins pairs into 2d-bit fields of 32-bit lanes;
//   2. shifts join those pairs into 4d-bit fields of 64-bit lanes;
//   3. a byte shift of the upper 64-bit half joins them into 8d bits, that
//      is d bytes, at the bottom of each 128-bit half;
//   4. the two d-byte strings are stored back to back with two overlapping
//      stores that never write outside the 2d bytes.
// Unpacking ByteDecode_d reads each 128-bit half from inside the 2d bytes,
// gathers the bytes of every field into a 32-bit lane with a byte shuffle
// and shifts it into place with a per-lane variable shift.
//
// Compression divides by q with a multiplication (see compress_lanes), exact
// for every canonical input; decompression is one rounding multiplication.
// None of these branch on or index by a coefficient value or a byte.
#include "core/mlkem/math/avx2.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <array>
#include <cstring>

#include "core/mlkem/math/avx2_common.hpp"
#include "core/mlkem/math/avx2_pack.hpp"
#include "core/mlkem/math/compress.hpp"

namespace velora::mlkem::avx2 {

using namespace detail;

namespace {

// --- Compress_d and Decompress_d on one vector -----------------------------

// d = 1: 1 exactly for 833 <= x <= 2496, as compares.
VELORA_AVX2 inline __m256i compress1_mask(__m256i x) noexcept {
    return _mm256_and_si256(_mm256_cmpgt_epi16(x, _mm256_set1_epi16(832)),
                            _mm256_cmpgt_epi16(_mm256_set1_epi16(2497), x));
}

// floor((x 2^d + 1664) / q) mod 2^d for canonical x.
//   d = 4, 5: (hi16(x M) + 8) >> 4 with M = 5040, 10080 (a rounding
//             multiplication by 2^11 does the add-and-shift);
//   d = 10, 11: e = hi16(x M) with M = 20159, 40318 is the quotient or one
//             less; the remainder x 2^d + 1664 - e q, formed modulo 2^16,
//             is then in [0, 2q) and one compare adds the missing 1.
// Both forms are checked against the exact division for every x < q.
template <std::size_t D>
VELORA_AVX2 inline __m256i compress_lanes(__m256i x) noexcept {
    if constexpr (D == 1) {
        return _mm256_and_si256(compress1_mask(x), _mm256_set1_epi16(1));
    } else if constexpr (D == 4 || D == 5) {
        constexpr std::int16_t kM = D == 4 ? 5040 : 10080;
        const __m256i t = _mm256_mulhi_epu16(x, _mm256_set1_epi16(kM));
        const __m256i c = _mm256_mulhrs_epi16(t, _mm256_set1_epi16(1 << 11));
        return _mm256_and_si256(c, _mm256_set1_epi16((1 << D) - 1));
    } else {
        static_assert(D == 10 || D == 11);
        constexpr auto kM = static_cast<std::int16_t>(D == 10 ? 20159 : 40318 - 65536);
        const __m256i e = _mm256_mulhi_epu16(x, _mm256_set1_epi16(kM));
        const __m256i scaled = _mm256_add_epi16(_mm256_slli_epi16(x, D), _mm256_set1_epi16(1664));
        const __m256i rem = _mm256_sub_epi16(scaled, _mm256_mullo_epi16(e, _mm256_set1_epi16(kQ16)));
        const __m256i c = _mm256_sub_epi16(e, _mm256_cmpgt_epi16(rem, _mm256_set1_epi16(kQ16 - 1)));
        return _mm256_and_si256(c, _mm256_set1_epi16((1 << D) - 1));
    }
}

// (y q + 2^(d-1)) >> d = round-half-up(y q / 2^d): with y 2^(15-d) < 2^15,
// mulhrs gives (y 2^(15-d) q + 2^14) >> 15, the same value.
VELORA_AVX2 inline __m256i decompress_lanes(__m256i y, std::size_t d) noexcept {
    const __m256i shifted = _mm256_sll_epi16(y, _mm_cvtsi32_si128(static_cast<int>(15 - d)));
    return _mm256_mulhrs_epi16(shifted, _mm256_set1_epi16(kQ16));
}

// --- d = 1: the 32-byte message --------------------------------------------

// ByteEncode_1 of the 0/1 masks of 32 coefficients: bit t of the result is coefficient t.
VELORA_AVX2 inline std::uint32_t movemask32(__m256i m0, __m256i m1) noexcept {
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(m0, m1), 0xD8);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
}

// Lanes all-ones where bit i of the 16-bit value w is set.
VELORA_AVX2 inline __m256i bit_lanes(std::uint16_t w) noexcept {
    const __m256i bits = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384,
                                           static_cast<std::int16_t>(-32768));
    return _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_set1_epi16(static_cast<std::int16_t>(w)), bits), bits);
}

// Compress_1 (when Compress) or the low bit of each coefficient, then ByteEncode_1.
template <bool Compress>
VELORA_AVX2 void encode1(const Poly& f, std::uint8_t* out) noexcept {
    const __m256i one = _mm256_set1_epi16(1);
    for (std::size_t v = 0; v < 16; v += 2) {
        __m256i m0 = load(f, v), m1 = load(f, v + 1);
        if constexpr (Compress) {
            m0 = compress1_mask(m0);
            m1 = compress1_mask(m1);
        } else {
            m0 = _mm256_cmpeq_epi16(_mm256_and_si256(m0, one), one);
            m1 = _mm256_cmpeq_epi16(_mm256_and_si256(m1, one), one);
        }
        const std::uint32_t bits = movemask32(m0, m1);
        // Little-endian: byte j of the four holds coefficients 8j .. 8j + 7 of the 32.
        std::memcpy(out + 2 * v, &bits, 4);
    }
}

// ByteDecode_1, then Decompress_1 (a set bit becomes 1665) when Decompress.
template <bool Decompress>
VELORA_AVX2 void decode1(const std::uint8_t* in, Poly& out) noexcept {
    const __m256i value = _mm256_set1_epi16(Decompress ? 1665 : 1);
    for (std::size_t v = 0; v < 16; ++v) {
        const auto w = static_cast<std::uint16_t>(in[2 * v] | (in[2 * v + 1] << 8));
        store(out, v, _mm256_and_si256(bit_lanes(w), value));
    }
}

template <std::size_t D, bool Compress>
VELORA_AVX2 void encode_d(const Poly& f, std::uint8_t* out) noexcept {
    if constexpr (D == 1) {
        encode1<Compress>(f, out);
    } else {
        for (std::size_t v = 0; v < 16; ++v) {
            __m256i x = load(f, v);
            if constexpr (Compress) {
                x = compress_lanes<D>(x);
            } else {
                x = _mm256_and_si256(x, _mm256_set1_epi16((1 << D) - 1));
            }
            pack16<D>(x, out + 2 * D * v);
        }
    }
}

template <std::size_t D, bool Decompress>
VELORA_AVX2 void decode_d(const std::uint8_t* in, Poly& out) noexcept {
    if constexpr (D == 1) {
        decode1<Decompress>(in, out);
    } else {
        for (std::size_t v = 0; v < 16; ++v) {
            __m256i x = unpack16<D>(in + 2 * D * v);
            if constexpr (D == 12) {
                x = reduce_once(x);  // 12-bit fields of q .. 4095 lose one q
            } else if constexpr (Decompress) {
                x = decompress_lanes(x, D);
            }
            store(out, v, x);
        }
    }
}

template <std::size_t D>
VELORA_AVX2 void compress_d(const Poly& f, Poly& out) noexcept {
    for (std::size_t v = 0; v < 16; ++v) store(out, v, compress_lanes<D>(load(f, v)));
}

}  // namespace

// The kernels below have code for the widths FIPS 203 compresses to (1, 4,
// 5, 10, 11) and, for the plain encodings, also 12; each switch names its
// widths and answers Fallback for any other.

VELORA_AVX2 Native compress(const Poly& f, std::size_t d, Poly& out) noexcept {
    switch (d) {
        case 1: compress_d<1>(f, out); break;
        case 4: compress_d<4>(f, out); break;
        case 5: compress_d<5>(f, out); break;
        case 10: compress_d<10>(f, out); break;
        case 11: compress_d<11>(f, out); break;
        default: return Native::Fallback;
    }
    return Native::Done;
}

VELORA_AVX2 Native decompress(const Poly& f, std::size_t d, Poly& out) noexcept {
    if (d < 1 || d > 11) return Native::Fallback;
    for (std::size_t v = 0; v < 16; ++v) store(out, v, decompress_lanes(load(f, v), d));
    return Native::Done;
}

VELORA_AVX2 Native encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept {
    switch (d) {
        case 1: encode_d<1, false>(f, out.data()); break;
        case 4: encode_d<4, false>(f, out.data()); break;
        case 5: encode_d<5, false>(f, out.data()); break;
        case 10: encode_d<10, false>(f, out.data()); break;
        case 11: encode_d<11, false>(f, out.data()); break;
        case 12: encode_d<12, false>(f, out.data()); break;
        default: return Native::Fallback;
    }
    return Native::Done;
}

VELORA_AVX2 Native compress_encode(const Poly& f, std::size_t d, std::span<std::uint8_t> out) noexcept {
    switch (d) {
        case 1: encode_d<1, true>(f, out.data()); break;
        case 4: encode_d<4, true>(f, out.data()); break;
        case 5: encode_d<5, true>(f, out.data()); break;
        case 10: encode_d<10, true>(f, out.data()); break;
        case 11: encode_d<11, true>(f, out.data()); break;
        default: return Native::Fallback;
    }
    return Native::Done;
}

VELORA_AVX2 Native decode(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept {
    switch (d) {
        case 1: decode_d<1, false>(in.data(), out); break;
        case 4: decode_d<4, false>(in.data(), out); break;
        case 5: decode_d<5, false>(in.data(), out); break;
        case 10: decode_d<10, false>(in.data(), out); break;
        case 11: decode_d<11, false>(in.data(), out); break;
        case 12: decode_d<12, false>(in.data(), out); break;
        default: return Native::Fallback;
    }
    return Native::Done;
}

VELORA_AVX2 Native decode_decompress(std::span<const std::uint8_t> in, std::size_t d, Poly& out) noexcept {
    switch (d) {
        case 1: decode_d<1, true>(in.data(), out); break;
        case 4: decode_d<4, true>(in.data(), out); break;
        case 5: decode_d<5, true>(in.data(), out); break;
        case 10: decode_d<10, true>(in.data(), out); break;
        case 11: decode_d<11, true>(in.data(), out); break;
        default: return Native::Fallback;
    }
    return Native::Done;
}

}  // namespace velora::mlkem::avx2

#endif
