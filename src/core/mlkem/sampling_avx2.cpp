// SamplePolyCBD and the rejection loop of SampleNTT on 16 coefficients per step.
#include "core/mlkem/math/avx2.hpp"

#if VELORA_HAVE_AVX2_KERNELS

#include <array>
#include <cstring>

#include "core/mlkem/math/avx2_common.hpp"
#include "core/mlkem/math/avx2_pack.hpp"
#include "core/mlkem/math/scalar.hpp"
#include "platform/wipe.hpp"

namespace velora::mlkem::avx2 {

using namespace detail;

namespace {

// Value v in [0, 2 eta] of a lane -> canonical v - eta.
VELORA_AVX2 inline __m256i centre(__m256i v, std::int16_t eta) noexcept {
    return fix_negative(_mm256_sub_epi16(v, _mm256_set1_epi16(eta)));
}

// eta = 2: byte t gives coefficients 2t = (b0 + b1) - (b2 + b3) and
// 2t + 1 = (b4 + b5) - (b6 + b7). Per byte: the four 2-bit pair sums, then
// (s0 + 2) - s1 and (s2 + 2) - s3 in the two nibbles (no borrow between
// nibbles, each in [0, 4]), then spread to 16-bit lanes and centred.
// Straight-line: the noise is secret.
VELORA_AVX2 void cbd2(const std::uint8_t* in, Poly& out) noexcept {
    const __m128i m55 = _mm_set1_epi8(0x55), m33 = _mm_set1_epi8(0x33), m0f = _mm_set1_epi8(0x0F);
    for (std::size_t c = 0; c < 8; ++c) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * c));
        const __m128i sums = _mm_add_epi8(_mm_and_si128(b, m55), _mm_and_si128(_mm_srli_epi16(b, 1), m55));
        const __m128i x = _mm_and_si128(sums, m33);
        const __m128i y = _mm_and_si128(_mm_srli_epi16(sums, 2), m33);
        const __m128i nib = _mm_sub_epi8(_mm_add_epi8(x, _mm_set1_epi8(0x22)), y);
        const __m128i lo = _mm_and_si128(nib, m0f);
        const __m128i hi = _mm_and_si128(_mm_srli_epi16(nib, 4), m0f);
        store(out, 2 * c, centre(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(lo, hi)), 2));
        store(out, 2 * c + 1, centre(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(lo, hi)), 2));
    }
}

// eta = 3: three bytes (24 bits) give four coefficients of six bits each.
// Each 16-bit lane receives the two bytes holding its six bits, a per-lane
// multiplication by 2^(10 - offset) moves them to bits 10 .. 15 and a shift
// brings them down; then the two 3-bit sums, in bits 0-1 and 3-4, are
// subtracted. Half h of a register handles bytes 6h .. 6h + 5 of each
// 12-byte step (eight coefficients). Straight-line: the noise is secret.
VELORA_AVX2 void cbd3(const std::uint8_t* in, Poly& out) noexcept {
    // Lane 4g + c (g = 0, 1 within a half) reads bytes 3g + c', 3g + c' + 1 with
    // c' = 0, 0, 1, 2 for c = 0 .. 3 (the last byte of a group has no neighbour).
    const __m256i shuffle = _mm256_setr_epi8(0, 1, 0, 1, 1, 2, 2, -1, 3, 4, 3, 4, 4, 5, 5, -1,
                                             0, 1, 0, 1, 1, 2, 2, -1, 3, 4, 3, 4, 4, 5, 5, -1);
    const __m256i scale = _mm256_setr_epi16(1024, 16, 64, 256, 1024, 16, 64, 256, 1024, 16, 64, 256, 1024, 16, 64, 256);
    const __m256i m09 = _mm256_set1_epi16(0x09), m07 = _mm256_set1_epi16(0x07);
    std::array<std::uint8_t, 16> tail{};
    for (std::size_t v = 0; v < 16; ++v) {
        const std::uint8_t* p = in + 12 * v;
        __m128i h0, h1;
        if (v < 15) {
            h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 6));
        } else {
            // The last step: only 12 bytes remain in the 192.
            std::memcpy(tail.data(), p, 12);
            h0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail.data()));
            h1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail.data()));
            h1 = _mm_srli_si128(h1, 6);
        }
        const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(h0), h1, 1);
        const __m256i six = _mm256_srli_epi16(_mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, shuffle), scale), 10);
        const __m256i s = _mm256_add_epi16(_mm256_add_epi16(_mm256_and_si256(six, m09),
                                                            _mm256_and_si256(_mm256_srli_epi16(six, 1), m09)),
                                           _mm256_and_si256(_mm256_srli_epi16(six, 2), m09));
        const __m256i x = _mm256_and_si256(s, m07), y = _mm256_srli_epi16(s, 3);
        store(out, v, fix_negative(_mm256_sub_epi16(x, y)));
    }
    velora::secure_zero(tail.data(), tail.size());
}

// Shuffles that move the accepted 16-bit lanes of eight to the front, in
// order, indexed by the 8-bit acceptance mask; and the counts.
struct CompactTables {
    alignas(16) std::array<std::array<std::int8_t, 16>, 256> shuffle{};
    std::array<std::uint8_t, 256> count{};
    constexpr CompactTables() {
        for (std::size_t m = 0; m < 256; ++m) {
            std::size_t n = 0;
            for (std::size_t lane = 0; lane < 8; ++lane) {
                if ((m >> lane) & 1) {
                    shuffle[m][2 * n] = static_cast<std::int8_t>(2 * lane);
                    shuffle[m][2 * n + 1] = static_cast<std::int8_t>(2 * lane + 1);
                    ++n;
                }
            }
            for (std::size_t j = 2 * n; j < 16; ++j) shuffle[m][j] = -1;
            count[m] = static_cast<std::uint8_t>(n);
        }
    }
};

constexpr CompactTables kCompact{};

}  // namespace

VELORA_AVX2 Native cbd(std::span<const std::uint8_t> in, std::size_t eta, Poly& out) noexcept {
    if (eta == 2) {
        cbd2(in.data(), out);
    } else if (eta == 3) {
        cbd3(in.data(), out);
    } else {
        return Native::Fallback;
    }
    return Native::Done;
}

// Algorithm 7, steps 3 to 5, 24 bytes (16 candidates) a step: the candidates
// below q are compacted to the front of each 128-bit half with a table
// shuffle and stored at the current count. The data is public (A-hat comes
// from rho), so the table lookups and the data-dependent count are fine.
// A step stores 16 values from the count on and may end past `want`; steps
// run while out has room for that, the scalar loop takes what is left.
VELORA_AVX2 Native rej_uniform(std::span<std::uint16_t> out, std::size_t& n, std::size_t want,
                               std::span<const std::uint8_t> buf) noexcept {
    const __m256i bound = _mm256_set1_epi16(kQ16);
    const auto* shuffles = reinterpret_cast<const __m128i*>(kCompact.shuffle.data());
    std::size_t pos = 0;
    while (n < want && n + 16 <= out.size() && pos + 24 <= buf.size()) {
        const __m256i d = unpack16<12>(buf.data() + pos);
        pos += 24;
        const __m256i good = _mm256_cmpgt_epi16(bound, d);
        const auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(good, good)));
        const std::uint32_t m0 = bits & 0xFF, m1 = (bits >> 16) & 0xFF;
        const __m128i d0 = _mm256_castsi256_si128(d), d1 = _mm256_extracti128_si256(d, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + n), _mm_shuffle_epi8(d0, _mm_load_si128(shuffles + m0)));
        n += kCompact.count[m0];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + n), _mm_shuffle_epi8(d1, _mm_load_si128(shuffles + m1)));
        n += kCompact.count[m1];
    }
    if (n < want) n = scalar::rej_uniform(out, n, want, buf.subspan(pos));
    return Native::Done;
}

}  // namespace velora::mlkem::avx2

#endif
