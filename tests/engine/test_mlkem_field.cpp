// Field arithmetic modulo q = 3329, checked exhaustively against plain % q.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/mlkem/math/field.hpp"

namespace velora::mlkem {
namespace {

constexpr std::uint32_t kQ = 3329;

TEST(MlKemField, BarrettMatchesRemainderForEveryInputBelow2To26) {
    // Covers every product of two canonical coefficients and every
    // coefficient times 3303 (the NTT^-1 scaling).
    std::uint32_t mismatches = 0;
    std::uint32_t first_bad = 0;
    for (std::uint32_t c = 0; c < (1u << 26); ++c) {
        if (barrett_reduce(c) != c % kQ) {
            if (mismatches++ == 0) first_bad = c;
        }
    }
    EXPECT_EQ(mismatches, 0u) << "first mismatch at c = " << first_bad;
}

TEST(MlKemField, AddSubMulExhaustiveOverCanonicalPairs) {
    std::uint32_t bad_add = 0, bad_sub = 0, bad_mul = 0;
    for (std::uint32_t a = 0; a < kQ; ++a) {
        for (std::uint32_t b = 0; b < kQ; ++b) {
            const auto a16 = static_cast<std::uint16_t>(a), b16 = static_cast<std::uint16_t>(b);
            bad_add += field_add(a16, b16) != (a + b) % kQ;
            bad_sub += field_sub(a16, b16) != (a + kQ - b) % kQ;
            bad_mul += field_mul(a16, b16) != (a * b) % kQ;
        }
    }
    EXPECT_EQ(bad_add, 0u);
    EXPECT_EQ(bad_sub, 0u);
    EXPECT_EQ(bad_mul, 0u);
}

TEST(MlKemField, NegExhaustive) {
    for (std::uint32_t a = 0; a < kQ; ++a) {
        ASSERT_EQ(field_neg(static_cast<std::uint16_t>(a)), (kQ - a) % kQ) << "a = " << a;
    }
}

// The named values of the exhaustive checks above, as a readable record.
TEST(MlKemField, BoundaryCases) {
    struct Case {
        const char* what;
        std::uint16_t got;
        std::uint16_t want;
    };
    const Case cases[] = {
        {"barrett(3328 * 3328)", barrett_reduce(3328u * 3328u), 1},
        {"barrett(0)", barrett_reduce(0), 0},
        {"barrett(3329)", barrett_reduce(3329), 0},
        {"add(3328, 1)", field_add(3328, 1), 0},
        {"add(3328, 3328)", field_add(3328, 3328), 3327},
        {"add(0, 0)", field_add(0, 0), 0},
        {"sub(0, 1)", field_sub(0, 1), 3328},
        {"sub(0, 3328)", field_sub(0, 3328), 1},
        {"sub(3328, 3328)", field_sub(3328, 3328), 0},
        {"neg(0)", field_neg(0), 0},
        {"neg(1)", field_neg(1), 3328},
        {"mul(3328, 3328)", field_mul(3328, 3328), 1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

}  // namespace
}  // namespace velora::mlkem
