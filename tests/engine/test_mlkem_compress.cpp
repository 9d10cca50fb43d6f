// Compression and byte encodings, checked against exact rational rounding and
// a bit-by-bit transcription of FIPS 203 Algorithms 5 and 6.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/mlkem/math/compress.hpp"
#include "core/mlkem/math/poly.hpp"
#include "random_poly.hpp"

namespace velora::mlkem {
namespace {

using testing::random_poly;

constexpr std::uint32_t kQ = 3329;
constexpr std::size_t kWidths[] = {1, 4, 5, 10, 11};

// round(2^d x / q) mod 2^d, by exact integer arithmetic on 2 * numerator.
std::uint32_t reference_compress(std::uint32_t x, std::size_t d) {
    const std::uint64_t num = (static_cast<std::uint64_t>(x) << d) * 2 + kQ;
    return static_cast<std::uint32_t>((num / (2 * kQ)) % (1u << d));
}

// round(q y / 2^d) with halves rounded up.
std::uint32_t reference_decompress(std::uint32_t y, std::size_t d) {
    const std::uint64_t num = static_cast<std::uint64_t>(y) * kQ * 2 + (1u << d);
    return static_cast<std::uint32_t>(num / (2u << d));
}

// Algorithm 5, literally: bit j of coefficient i to bit i*d + j.
std::vector<std::uint8_t> reference_encode(const Poly& f, std::size_t d) {
    std::vector<std::uint8_t> out(32 * d, 0);
    for (std::size_t i = 0; i < kN; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const std::size_t bit = i * d + j;
            if ((f[i] >> j) & 1) out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] | (1u << (bit % 8)));
        }
    }
    return out;
}

TEST(MlKemCompress, CompressMatchesExactRoundingForEveryCoefficient) {
    for (std::size_t d : kWidths) {
        for (std::uint32_t x = 0; x < kQ; ++x) {
            ASSERT_EQ(compress_d(static_cast<std::uint16_t>(x), d), reference_compress(x, d)) << "x=" << x << " d=" << d;
        }
    }
}

TEST(MlKemCompress, DecompressMatchesExactRoundingAndCompressInvertsIt) {
    for (std::size_t d : kWidths) {
        for (std::uint32_t y = 0; y < (1u << d); ++y) {
            const std::uint16_t x = decompress_d(static_cast<std::uint16_t>(y), d);
            ASSERT_EQ(x, reference_decompress(y, d)) << "y=" << y << " d=" << d;
            ASSERT_LT(x, kQ);
            ASSERT_EQ(compress_d(x, d), y) << "y=" << y << " d=" << d;
        }
    }
}

TEST(MlKemCompress, NamedBoundaries) {
    struct Case {
        const char* what;
        std::uint16_t got;
        std::uint16_t want;
    };
    const Case cases[] = {
        {"compress_1(832)", compress_d(832, 1), 0},
        {"compress_1(833)", compress_d(833, 1), 1},
        {"compress_1(2496)", compress_d(2496, 1), 1},
        {"compress_1(2497)", compress_d(2497, 1), 0},
        {"compress_10(3328) wraps", compress_d(3328, 10), 0},
        {"compress_11(3328)", compress_d(3328, 11), 2047},
        {"compress_4(1664)", compress_d(1664, 4), 8},
        {"compress_4(1665)", compress_d(1665, 4), 8},
        {"compress_11(1665)", compress_d(1665, 11), 1024},
        {"decompress_1(1)", decompress_d(1, 1), 1665},
        {"decompress_10(1)", decompress_d(1, 10), 3},
        {"decompress_10(1023)", decompress_d(1023, 10), 3326},
        {"decompress_11(2047)", decompress_d(2047, 11), 3327},
        {"decompress_4(15)", decompress_d(15, 4), 3121},
        {"decompress_5(31)", decompress_d(31, 5), 3225},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(MlKemCompress, EncodeAndDecodeFollowTheBitOrderForEveryWidth) {
    std::mt19937 rng(3);
    for (std::size_t d = 1; d <= 12; ++d) {
        const Poly f = random_poly(rng, d == 12 ? kQ : (1u << d));
        const std::vector<std::uint8_t> bytes = f.encode_d(d);
        ASSERT_EQ(bytes, reference_encode(f, d)) << "d=" << d;
        EXPECT_EQ(byte_decode_d(bytes, d).coeffs, f.coeffs) << "d=" << d;
    }
    EXPECT_TRUE(Poly{}.encode_d(0).empty());
}

TEST(MlKemCompress, EncodeOneBitExample) {
    Poly f;
    f[0] = 1;
    f[9] = 1;
    const std::vector<std::uint8_t> bytes = f.encode_d(1);
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x02);
}

TEST(MlKemCompress, TwelveBitDecodeReducesValuesAtOrAboveQ) {
    const std::vector<std::uint8_t> ones(384, 0xFF);
    const PolyVec v = PolyVec::from_bytes(ones, 1);
    for (std::uint16_t c : v[0].coeffs) ASSERT_EQ(c, 766);  // 4095 mod 3329
    EXPECT_EQ(byte_decode_d(ones, 12).coeffs, v[0].coeffs);

    const std::vector<std::uint8_t> reencoded = PolyVec::to_bytes(v.polys);
    ASSERT_EQ(reencoded.size(), 384u);
    for (std::size_t m = 0; m < 128; ++m) {
        ASSERT_EQ(reencoded[3 * m], 0xFE);
        ASSERT_EQ(reencoded[3 * m + 1], 0xE2);
        ASSERT_EQ(reencoded[3 * m + 2], 0x2F);
    }

    // Every 12-bit value, placed as the first coefficient: v mod q.
    for (std::uint32_t value = 0; value < 4096; ++value) {
        std::vector<std::uint8_t> block(384, 0);
        block[0] = static_cast<std::uint8_t>(value);
        block[1] = static_cast<std::uint8_t>(value >> 8);
        ASSERT_EQ(PolyVec::from_bytes(block, 1)[0][0], value % kQ) << value;
    }
}

TEST(MlKemCompress, PolyVecBytesRoundTripInVectorOrder) {
    std::mt19937 rng(9);
    PolyVec v = PolyVec::zero(3);
    for (Poly& f : v.polys) f = random_poly(rng, kQ);
    const std::vector<std::uint8_t> bytes = PolyVec::to_bytes(v.polys);
    ASSERT_EQ(bytes.size(), 3u * 384);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::vector<std::uint8_t> block(bytes.begin() + 384 * i, bytes.begin() + 384 * (i + 1));
        EXPECT_EQ(block, reference_encode(v[i], 12)) << "block " << i;
    }
    EXPECT_EQ(PolyVec::from_bytes(bytes, 3).polys.size(), 3u);
    const PolyVec back = PolyVec::from_bytes(bytes, 3);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(back[i].coeffs, v[i].coeffs);
    EXPECT_TRUE(PolyVec::to_bytes({}).empty());
}

}  // namespace
}  // namespace velora::mlkem
