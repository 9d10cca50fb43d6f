// Packing and unpacking of 16 d-bit values (d = 4, 5, 10, 11, 12) for the
// AVX2 kernels; see compress_avx2.cpp for the method. Included only by the
// *_avx2.cpp files.
#pragma once

#include "core/mlkem/math/avx2_common.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <array>
#include <cstddef>
#include <cstdint>

namespace velora::mlkem::avx2::detail {

// ByteEncode_D of the 16 lanes of x (each below 2^D) into out[0, 2D).
template <std::size_t D>
VELORA_AVX2 inline void pack16(__m256i x, std::uint8_t* out) noexcept {
    static_assert(D >= 4 && D <= 12);
    const __m256i pairs = _mm256_madd_epi16(x, _mm256_set1_epi32(1 | (1 << (16 + D))));  // 2D bits per 32
    const __m256i lo32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i quads = _mm256_or_si256(_mm256_and_si256(pairs, lo32),
                                          _mm256_slli_epi64(_mm256_srli_epi64(pairs, 32), 2 * D));  // 4D bits per 64
    constexpr int kBytes = (4 * D) / 8, kBits = (4 * D) % 8;
    const __m256i upper = _mm256_slli_si256(_mm256_slli_epi64(_mm256_srli_si256(quads, 8), kBits), kBytes);
    const __m256i lowmask = _mm256_set_epi64x(0, -1, 0, -1);
    const __m256i octs = _mm256_or_si256(_mm256_and_si256(quads, lowmask), upper);  // D bytes per 128
    const __m128i l0 = _mm256_castsi256_si128(octs);
    const __m128i l1 = _mm256_extracti128_si256(octs, 1);
    if constexpr (D >= 8) {
        // 2D in [16, 24]: the first 16 bytes, then the last 16.
        const __m128i head = _mm_or_si128(l0, _mm_slli_si128(l1, D));
        const __m128i tail = _mm_or_si128(_mm_srli_si128(l0, 2 * D - 16), _mm_slli_si128(l1, 16 - D));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), head);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * D - 16), tail);
    } else {
        // 2D in [8, 10]: the first 8 bytes, then the last 8.
        const __m128i all = _mm_or_si128(l0, _mm_slli_si128(l1, D));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), all);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * D - 8), _mm_srli_si128(all, 2 * D - 8));
    }
}

// Shuffle and shift tables for unpacking: half h of a register holds the
// bytes of fields 8h .. 8h + 7; lane k of the low (high) register takes
// field k (k + 4) of each half. Half 1 is loaded so that it ends at the end
// of the 2D bytes, so its first field starts kLoad - D bytes in.
template <std::size_t D>
struct UnpackTables {
    static constexpr std::size_t kLoad = D >= 8 ? 16 : 8;
    alignas(32) std::array<std::int8_t, 32> shuffle_lo{}, shuffle_hi{};
    alignas(32) std::array<std::int32_t, 8> shift_lo{}, shift_hi{};
    constexpr UnpackTables() {
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t base = half == 0 ? 0 : kLoad - D;
            for (std::size_t k = 0; k < 8; ++k) {
                const std::size_t bit = k * D, first = bit / 8, shift = bit % 8;
                const std::size_t nbytes = (shift + D + 7) / 8;
                auto& shuffle = k < 4 ? shuffle_lo : shuffle_hi;
                auto& shifts = k < 4 ? shift_lo : shift_hi;
                for (std::size_t b = 0; b < 4; ++b) {
                    shuffle[16 * half + 4 * (k % 4) + b] =
                        b < nbytes ? static_cast<std::int8_t>(base + first + b) : std::int8_t{-128};
                }
                shifts[4 * half + k % 4] = static_cast<std::int32_t>(shift);
            }
        }
    }
};

// ByteDecode_D of in[0, 2D) into 16 lanes (no reduction); reads only those bytes.
template <std::size_t D>
VELORA_AVX2 inline __m256i unpack16(const std::uint8_t* in) noexcept {
    static_assert(D >= 4 && D <= 12);
    static constexpr UnpackTables<D> kT{};
    __m128i h0, h1;
    if constexpr (D >= 8) {
        h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * D - 16));
    } else {
        h0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
        h1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 2 * D - 8));
    }
    const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(h0), h1, 1);
    if constexpr (D == 12) {
        // Two fields per three bytes: lane 2m takes bytes 3m, 3m + 1 and keeps
        // 12 bits, lane 2m + 1 takes bytes 3m + 1, 3m + 2 and drops 4.
        const __m256i pairs = _mm256_shuffle_epi8(
            bytes, _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                                    4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15));
        return _mm256_blend_epi16(_mm256_and_si256(pairs, _mm256_set1_epi16(0x0FFF)), _mm256_srli_epi16(pairs, 4),
                                  0xAA);
    }
    const __m256i mask = _mm256_set1_epi32((1 << D) - 1);
    const auto* slo = reinterpret_cast<const __m256i*>(kT.shuffle_lo.data());
    const auto* shi = reinterpret_cast<const __m256i*>(kT.shuffle_hi.data());
    const auto* clo = reinterpret_cast<const __m256i*>(kT.shift_lo.data());
    const auto* chi = reinterpret_cast<const __m256i*>(kT.shift_hi.data());
    const __m256i lo = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(bytes, _mm256_load_si256(slo)),
                                                          _mm256_load_si256(clo)), mask);
    const __m256i hi = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(bytes, _mm256_load_si256(shi)),
                                                          _mm256_load_si256(chi)), mask);
    // packus keeps 128-bit halves apart: [lo.h0, hi.h0 | lo.h1, hi.h1] = fields 0..15 in order.
    return _mm256_packus_epi32(lo, hi);
}

}  // namespace velora::mlkem::avx2::detail

#endif
