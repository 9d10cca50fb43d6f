// The AVX2 kernels against the scalar loops, kernel by kernel, on boundary
// and random inputs; the exactness of the lane reductions over every 16-bit
// value; SampleNTT past its first three blocks; and the kernel selection.
// (The whole engine runs on both kernel sets through the Wycheproof and KEM
// tests: ctest repeats them with VELORA_FORCE_SCALAR=1.)
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/mlkem/math/avx2.hpp"
#include "core/mlkem/math/avx2_common.hpp"
#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/kernels.hpp"
#include "core/mlkem/math/ntt.hpp"
#include "core/mlkem/math/scalar.hpp"
#include "core/mlkem/sampling.hpp"
#include "primitives/sha3.hpp"
#include "random_poly.hpp"

namespace velora::mlkem {
namespace {

using testing::random_poly;

constexpr std::uint16_t kQ = 3329;

Poly filled(std::uint16_t v) {
    Poly f;
    f.coeffs.fill(v);
    return f;
}

// Canonical polynomials: the extremes, patterns that put 0 and q - 1 next to
// each other in every lane position, values around q / 2, and random ones.
std::vector<Poly> canonical_inputs(std::mt19937& rng) {
    std::vector<Poly> v = {filled(0), filled(kQ - 1), filled(1), filled(1664), filled(1665)};
    Poly alternating, ramp, down, one;
    for (std::size_t i = 0; i < kN; ++i) {
        alternating[i] = i % 2 ? kQ - 1 : 0;
        ramp[i] = static_cast<std::uint16_t>((i * 13) % kQ);
        down[i] = static_cast<std::uint16_t>(kQ - 1 - (i * 7) % kQ);
    }
    one[0] = 1;
    v.insert(v.end(), {alternating, ramp, down, one});
    for (int n = 0; n < 16; ++n) v.push_back(random_poly(rng, kQ));
    return v;
}

// Bytes that end exactly where an inaccessible page begins: a kernel that
// reads past its input crashes the test.
class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t n) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))), n_(n) {
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        base_ = static_cast<std::uint8_t*>(p);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) std::abort();
    }
    ~GuardedBytes() { munmap(base_, 2 * page_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    std::span<std::uint8_t> span() { return {base_ + page_ - n_, n_}; }

private:
    std::size_t page_;
    std::size_t n_;
    std::uint8_t* base_ = nullptr;
};

// Byte strings: all zero, all 0xFF, repeating patterns, random.
std::vector<std::vector<std::uint8_t>> byte_inputs(std::mt19937& rng, std::size_t n) {
    std::vector<std::vector<std::uint8_t>> v;
    for (int b : {0x00, 0xFF, 0x55, 0xAA, 0x0F, 0xF0, 0x38, 0xC7}) v.emplace_back(n, static_cast<std::uint8_t>(b));
    for (int k = 0; k < 12; ++k) {
        std::vector<std::uint8_t> r(n);
        for (auto& x : r) x = static_cast<std::uint8_t>(rng());
        v.push_back(std::move(r));
    }
    return v;
}

constexpr std::size_t kCompressWidths[] = {1, 4, 5, 10, 11};
constexpr std::size_t kEncodeWidths[] = {1, 4, 5, 10, 11, 12};

#if VELORA_HAVE_AVX2_KERNELS

class Avx2Kernels : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cpu_supports_avx2()) GTEST_SKIP() << "this CPU has no AVX2";
    }
    std::mt19937 rng_{20240};
};

TEST_F(Avx2Kernels, NttAndInverseMatchScalar) {
    for (const Poly& in : canonical_inputs(rng_)) {
        Poly s = in, v = in;
        scalar::ntt(s);
        ASSERT_EQ(avx2::ntt(v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs);
        // The inverse on arbitrary canonical input, not only on transforms.
        s = in;
        v = in;
        scalar::ntt_inverse(s);
        ASSERT_EQ(avx2::ntt_inverse(v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs);
    }
}

TEST_F(Avx2Kernels, MatrixVectorAndInnerProductsMatchScalar) {
    const std::vector<Poly> pool = canonical_inputs(rng_);
    // All coefficients q - 1 give the largest 32-bit sums; 9 > 4 takes the
    // vector in more than one group.
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 9u}) {
        for (std::size_t rows : {1u, 3u, 5u}) {
            for (int pick = 0; pick < 4; ++pick) {
                std::vector<Poly> a(rows * n), y(n);
                for (std::size_t i = 0; i < a.size(); ++i) a[i] = pick == 0 ? filled(kQ - 1) : pool[(i * 7 + pick) % pool.size()];
                for (std::size_t j = 0; j < n; ++j) y[j] = pick == 0 ? filled(kQ - 1) : pool[(j * 5 + 3 * pick) % pool.size()];
                std::vector<Poly> s(rows), v(rows, filled(77));
                scalar::multiply_matrix_vector_ntt(a, y, s);
                ASSERT_EQ(avx2::multiply_matrix_vector_ntt(a, y, v), Native::Done);
                for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(v[r].coeffs, s[r].coeffs) << "n=" << n << " row " << r;
                Poly si, vi = filled(5);
                scalar::inner_product_ntt(std::span(a).first(n), y, si);
                ASSERT_EQ(avx2::inner_product_ntt(std::span(a).first(n), y, vi), Native::Done);
                ASSERT_EQ(vi.coeffs, si.coeffs) << "n=" << n;
            }
        }
    }
    // Unequal lengths pair up to the shorter one.
    Poly s, v;
    scalar::inner_product_ntt(std::span(pool).first(4), std::span(pool).subspan(4, 2), s);
    ASSERT_EQ(avx2::inner_product_ntt(std::span(pool).first(4), std::span(pool).subspan(4, 2), v), Native::Done);
    EXPECT_EQ(v.coeffs, s.coeffs);
}

TEST_F(Avx2Kernels, AddAndSubMatchScalarAlsoInPlace) {
    const std::vector<Poly> in = canonical_inputs(rng_);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const Poly& a = in[i];
        const Poly& b = in[(i * 5 + 1) % in.size()];
        Poly s, v;
        scalar::add(a, b, s);
        ASSERT_EQ(avx2::add(a, b, v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs);
        scalar::sub(a, b, s);
        ASSERT_EQ(avx2::sub(a, b, v), Native::Done);
        ASSERT_EQ(v.coeffs, s.coeffs);
        v = a;
        avx2::sub(v, b, v);  // out aliasing the first operand
        ASSERT_EQ(v.coeffs, s.coeffs);
    }
}

// Every canonical value passes through every compression width.
TEST_F(Avx2Kernels, CompressionOfEveryCoefficientValue) {
    for (std::size_t d : kCompressWidths) {
        for (std::uint32_t start = 0; start < kQ; start += kN) {
            Poly f;
            for (std::size_t i = 0; i < kN; ++i) f[i] = static_cast<std::uint16_t>((start + i) % kQ);
            Poly s, v;
            scalar::compress(f, d, s);
            ASSERT_EQ(avx2::compress(f, d, v), Native::Done);
            ASSERT_EQ(v.coeffs, s.coeffs) << "d=" << d << " from " << start;
            std::vector<std::uint8_t> es(32 * d), ev(32 * d);
            scalar::compress_encode(f, d, es);
            ASSERT_EQ(avx2::compress_encode(f, d, ev), Native::Done);
            ASSERT_EQ(ev, es) << "d=" << d << " from " << start;
        }
    }
    for (std::size_t d = 1; d <= 11; ++d) {
        Poly y;
        for (std::uint32_t start = 0; start < (1u << d); start += kN) {
            for (std::size_t i = 0; i < kN; ++i) y[i] = static_cast<std::uint16_t>((start + i) % (1u << d));
            Poly s, v;
            scalar::decompress(y, d, s);
            ASSERT_EQ(avx2::decompress(y, d, v), Native::Done);
            ASSERT_EQ(v.coeffs, s.coeffs) << "d=" << d;
        }
    }
}

// Encodings write exactly 32 d bytes (sentinels after them stay), and only
// the low d bits of each coefficient count.
TEST_F(Avx2Kernels, EncodeMatchesScalarAndWritesOnlyItsBytes) {
    for (std::size_t d : kEncodeWidths) {
        std::vector<Poly> polys = {filled(0), filled(static_cast<std::uint16_t>((1u << d) - 1)), filled(0xFFFF),
                                   filled(kQ - 1)};
        for (int k = 0; k < 8; ++k) polys.push_back(random_poly(rng_, 1u << 16));
        for (const Poly& f : polys) {
            std::vector<std::uint8_t> s(32 * d + 40, 0xA5), v(32 * d + 40, 0xA5);
            scalar::encode(f, d, std::span(s).first(32 * d));
            ASSERT_EQ(avx2::encode(f, d, std::span(v).first(32 * d)), Native::Done);
            ASSERT_EQ(v, s) << "d=" << d;
            ASSERT_TRUE(std::all_of(v.begin() + static_cast<std::ptrdiff_t>(32 * d), v.end(),
                                    [](std::uint8_t b) { return b == 0xA5; }))
                << "d=" << d;
        }
    }
    for (std::size_t d : kCompressWidths) {
        for (const Poly& f : canonical_inputs(rng_)) {
            std::vector<std::uint8_t> s(32 * d + 40, 0x5A), v(32 * d + 40, 0x5A);
            scalar::compress_encode(f, d, std::span(s).first(32 * d));
            ASSERT_EQ(avx2::compress_encode(f, d, std::span(v).first(32 * d)), Native::Done);
            ASSERT_EQ(v, s) << "d=" << d;
        }
    }
}

// Decoding reads exactly 32 d bytes (the input ends at an unmapped page),
// reduces 12-bit fields of q and more, and decompresses like the scalar loop.
TEST_F(Avx2Kernels, DecodeMatchesScalarAndReadsOnlyItsBytes) {
    for (std::size_t d : kEncodeWidths) {
        GuardedBytes guarded(32 * d);
        const std::span<std::uint8_t> in = guarded.span();
        for (const auto& bytes : byte_inputs(rng_, 32 * d)) {
            std::copy(bytes.begin(), bytes.end(), in.begin());
            Poly s, v;
            scalar::decode(in, d, s);
            ASSERT_EQ(avx2::decode(in, d, v), Native::Done);
            ASSERT_EQ(v.coeffs, s.coeffs) << "d=" << d << " first byte " << int{bytes[0]};
            if (d == 12) continue;
            scalar::decode_decompress(in, d, s);
            ASSERT_EQ(avx2::decode_decompress(in, d, v), Native::Done);
            ASSERT_EQ(v.coeffs, s.coeffs) << "d=" << d << " first byte " << int{bytes[0]};
        }
    }
}

TEST_F(Avx2Kernels, CbdMatchesScalarAndReadsOnlyItsBytes) {
    for (std::size_t eta : {2u, 3u}) {
        GuardedBytes guarded(64 * eta);
        const std::span<std::uint8_t> in = guarded.span();
        for (const auto& bytes : byte_inputs(rng_, 64 * eta)) {
            std::copy(bytes.begin(), bytes.end(), in.begin());
            Poly s, v;
            scalar::cbd(in, eta, s);
            ASSERT_EQ(avx2::cbd(in, eta, v), Native::Done);
            ASSERT_EQ(v.coeffs, s.coeffs) << "eta " << eta << " first byte " << int{bytes[0]};
        }
    }
}

// Rejection sampling keeps the same values in the same order, whatever the
// acceptance pattern, buffer length (whole 24-byte steps or not), starting
// count and target; the vector loop may run past the target but the
// values up to it agree.
// Arguments a kernel has no code for: it answers Fallback and touches
// nothing, and the dispatching operation gives the scalar result.
TEST_F(Avx2Kernels, UnsupportedWidthsFallBackToTheScalarLoops) {
    const Poly f = random_poly(rng_, kQ);
    for (std::size_t d : {2u, 3u, 6u, 7u, 8u, 9u}) {
        Poly v = filled(7);
        std::array<std::uint8_t, 32 * 12> bytes{};
        bytes.fill(0x5A);
        const auto untouched = bytes;
        EXPECT_EQ(avx2::compress(f, d, v), Native::Fallback) << d;
        EXPECT_EQ(avx2::compress_encode(f, d, std::span(bytes).first(32 * d)), Native::Fallback) << d;
        EXPECT_EQ(avx2::encode(f, d, std::span(bytes).first(32 * d)), Native::Fallback) << d;
        EXPECT_EQ(avx2::decode(bytes, d, v), Native::Fallback) << d;
        EXPECT_EQ(avx2::decode_decompress(bytes, d, v), Native::Fallback) << d;
        EXPECT_EQ(v.coeffs, filled(7).coeffs) << d;
        EXPECT_EQ(bytes, untouched) << d;

        Poly s;
        scalar::compress(f, d, s);
        EXPECT_EQ(compress_d(f, d).coeffs, s.coeffs) << d;
        std::array<std::uint8_t, 32 * 12> want{}, got{};
        scalar::compress_encode(f, d, std::span(want).first(32 * d));
        compress_encode_d(f, d, std::span(got).first(32 * d));
        EXPECT_EQ(got, want) << d;
    }
    Poly v;
    for (std::size_t d : {0u, 12u, 13u}) EXPECT_EQ(avx2::decompress(f, d, v), Native::Fallback) << d;
    std::array<std::uint8_t, 256> noise{};
    EXPECT_EQ(avx2::cbd(noise, 4, v), Native::Fallback);
}

TEST_F(Avx2Kernels, RejectionSamplingMatchesScalar) {
    std::vector<std::vector<std::uint8_t>> buffers = byte_inputs(rng_, 504);
    // Groups FF 0F xx: d1 = 4095 is always rejected, d2 = 16 xx is kept.
    std::vector<std::uint8_t> half(504);
    for (std::size_t i = 0; i < half.size(); i += 3) {
        half[i] = 0xFF;
        half[i + 1] = 0x0F;
        half[i + 2] = static_cast<std::uint8_t>(i);
    }
    buffers.push_back(half);
    for (const auto& full : buffers) {
        for (std::size_t len : {0u, 2u, 3u, 23u, 24u, 25u, 48u, 300u, 503u, 504u}) {
            GuardedBytes guarded(len);
            const std::span<std::uint8_t> buf = guarded.span();
            std::copy_n(full.begin(), len, buf.begin());
            for (std::size_t start : {0u, 100u, 250u, 255u}) {
                for (std::size_t want : {256u, 10u}) {
                    if (start > want) continue;
                    std::array<std::uint16_t, kN + 16> s{}, v{};
                    for (std::size_t i = 0; i < start; ++i) s[i] = v[i] = static_cast<std::uint16_t>(i);
                    const std::size_t ns = scalar::rej_uniform(s, start, want, buf);
                    std::size_t nv = start;
                    ASSERT_EQ(avx2::rej_uniform(v, nv, want, buf), Native::Done);
                    ASSERT_LE(ns, want);
                    ASSERT_EQ(std::min(nv, want), ns) << "len " << len << " start " << start << " want " << want;
                    ASSERT_TRUE(std::equal(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(ns), v.begin()))
                        << "len " << len << " start " << start << " want " << want;
                }
            }
        }
    }
}

// The lane reductions the kernels rest on, over every signed 16-bit input:
// Barrett lands in [0, q], and the Montgomery product by each zeta constant
// is congruent to a * zeta and below q in magnitude.
VELORA_AVX2 void barrett_of_every_value(std::vector<std::int16_t>& out) {
    for (std::int32_t x = -32768; x < 32768; x += 16) {
        alignas(32) std::int16_t lanes[16];
        for (int l = 0; l < 16; ++l) lanes[l] = static_cast<std::int16_t>(x + l);
        const __m256i r = avx2::detail::barrett_reduce(_mm256_load_si256(reinterpret_cast<const __m256i*>(lanes)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.data() + (x + 32768)), r);
    }
}

VELORA_AVX2 void montgomery_of_every_value(std::uint16_t zeta, std::vector<std::int16_t>& out) {
    const std::int16_t z = avx2::detail::to_montgomery(zeta);
    const __m256i zv = _mm256_set1_epi16(z), zq = _mm256_set1_epi16(avx2::detail::times_qinv(z));
    for (std::int32_t x = -32768; x < 32768; x += 16) {
        alignas(32) std::int16_t lanes[16];
        for (int l = 0; l < 16; ++l) lanes[l] = static_cast<std::int16_t>(x + l);
        const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.data() + (x + 32768)),
                            avx2::detail::montgomery_multiply(a, zv, zq));
    }
}

TEST_F(Avx2Kernels, LaneReductionsAreExactForEverySixteenBitValue) {
    std::vector<std::int16_t> out(65536);
    barrett_of_every_value(out);
    for (std::int32_t x = -32768; x < 32768; ++x) {
        const std::int32_t r = out[static_cast<std::size_t>(x + 32768)];
        ASSERT_TRUE(r >= 0 && r <= kQ) << x;
        ASSERT_EQ(((x - r) % kQ + kQ) % kQ, 0) << x;
    }
    for (std::size_t i = 1; i < 128; ++i) {
        montgomery_of_every_value(ZETAS[i], out);
        for (std::int32_t x = -32768; x < 32768; ++x) {
            const std::int32_t r = out[static_cast<std::size_t>(x + 32768)];
            ASSERT_LT(std::abs(r), kQ) << "zeta " << ZETAS[i] << " x " << x;
            ASSERT_EQ(((static_cast<std::int64_t>(x) * ZETAS[i] - r) % kQ + kQ) % kQ, 0) << "zeta " << ZETAS[i] << " x " << x;
        }
    }
}

#endif  // VELORA_HAVE_AVX2_KERNELS

// SampleNTT read straight from a long SHAKE128 stream (Algorithm 7
// transcribed here), for enough index pairs that some need a fourth block
// and more: the engine then regenerates the stream, longer, and must go on
// exactly where the first three blocks ended.
TEST(MlKemSampleNtt, MatchesOneLongStreamAlsoPastThreeBlocks) {
    std::array<std::uint8_t, 32> rho{};
    for (std::size_t i = 0; i < rho.size(); ++i) rho[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 29));
    std::size_t past_three_blocks = 0;
    for (std::size_t t = 0; t < 600; ++t) {
        const auto j = static_cast<std::uint8_t>(t % 256), i = static_cast<std::uint8_t>(t / 256);
        const std::uint8_t index[2] = {j, i};
        std::vector<std::uint8_t> stream(16 * primitives::kShake128BlockBytes);
        primitives::shake128({primitives::ByteView(rho), primitives::ByteView(index)}, stream);
        Poly want;
        std::size_t n = 0, pos = 0;
        while (n < kN) {
            const std::uint16_t d1 = static_cast<std::uint16_t>(stream[pos] | ((stream[pos + 1] & 0x0F) << 8));
            const std::uint16_t d2 = static_cast<std::uint16_t>((stream[pos + 1] >> 4) | (stream[pos + 2] << 4));
            pos += 3;
            if (d1 < kQ) want[n++] = d1;
            if (d2 < kQ && n < kN) want[n++] = d2;
        }
        if (pos > 3 * primitives::kShake128BlockBytes) ++past_three_blocks;
        ASSERT_EQ(sample_ntt(rho, j, i).coeffs, want.coeffs) << "j=" << int{j} << " i=" << int{i};
    }
    EXPECT_GT(past_three_blocks, 0u) << "no index pair needed a fourth block; pick more pairs";
}

// Debug and sanitizer builds stop on a native result out of bounds, naming
// the kernel, the coefficient and the bound.
TEST(MlKemBoundCheckDeathTest, OutOfBoundCoefficientStopsTheProcess) {
#if defined(VELORA_CHECK_BOUNDS) && VELORA_CHECK_BOUNDS
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Poly f = filled(kQ - 1);
    check_bound(f, kQ, "canonical kernel");  // in bounds: nothing happens
    f[200] = kQ;
    EXPECT_DEATH(check_bound(f, kQ, "avx2::ntt"), "avx2::ntt returned coefficient 200 of polynomial 0 = 3329, not below 3329");
    const Poly compressed = filled(1024);
    EXPECT_DEATH(check_bound(compressed, 1024, "avx2::compress"), "avx2::compress returned coefficient 0");
#else
    GTEST_SKIP() << "the coefficient bound checks are built into debug and sanitizer builds only";
#endif
}

// The selection follows the CPU, except that test builds honour
// VELORA_FORCE_SCALAR=1 (ctest runs the engine tests once more with it).
TEST(MlKemKernelSelection, FollowsCpuUnlessScalarIsForced) {
    const char* force = std::getenv("VELORA_FORCE_SCALAR");
    if (force != nullptr && std::string(force) == "1") {
        EXPECT_EQ(active_kernels(), KernelSet::Scalar);
        EXPECT_FALSE(use_avx2());
    } else {
        EXPECT_EQ(active_kernels(), cpu_supports_avx2() ? KernelSet::Avx2 : KernelSet::Scalar);
    }
    EXPECT_EQ(detect_kernels(), active_kernels());
}

}  // namespace
}  // namespace velora::mlkem
