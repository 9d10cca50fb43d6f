// The constants of Keccak-f[1600] (FIPS 202 section 3.2), derived at compile
// time from the algorithms that define them rather than typed in: the rho
// offsets of Algorithm 2, the pi mapping of Algorithm 3 and the round
// constants of Algorithms 5 and 6.
//
// State words: FIPS 202 calls the 25 64-bit pieces of the state "lanes"; this
// code calls them words, because "lane" here means one of the independent
// states a multi-lane kernel permutes at once. Word (x, y) is at index
// x + 5y, and bit z of a word is bit z of the state string's lane (the
// little-endian reading of its 8 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velora::primitives::keccak {

inline constexpr std::size_t kWords = 25;
inline constexpr std::size_t kRounds = 24;  // n_r = 12 + 2l with l = 6

namespace detail {

// rc(t) of Algorithm 5: the output bit of the LFSR x^8 + x^6 + x^5 + x^4 + 1.
// R holds R[0] in bit 0 ... R[8] in bit 8.
constexpr unsigned rc_bit(std::size_t t) noexcept {
    if (t % 255 == 0) return 1;
    unsigned r = 0x01;  // R = 10000000
    for (std::size_t i = 1; i <= t % 255; ++i) {
        r <<= 1;  // R = 0 || R
        const unsigned r8 = (r >> 8) & 1;
        r ^= r8 | (r8 << 4) | (r8 << 5) | (r8 << 6);
        r &= 0xFF;  // Trunc_8
    }
    return r & 1;
}

// Algorithm 6, steps 2-3: bit 2^j - 1 of RC is rc(j + 7 i_r) for j = 0 .. 6.
constexpr std::array<std::uint64_t, kRounds> make_round_constants() noexcept {
    std::array<std::uint64_t, kRounds> rc{};
    for (std::size_t round = 0; round < kRounds; ++round) {
        for (std::size_t j = 0; j <= 6; ++j) {
            rc[round] |= static_cast<std::uint64_t>(rc_bit(j + 7 * round)) << ((std::size_t{1} << j) - 1);
        }
    }
    return rc;
}

// Algorithm 2: word (x, y) is rotated by (t + 1)(t + 2) / 2 mod 64 for the t
// at which the walk (x, y) <- (y, 2x + 3y) from (1, 0) reaches it; (0, 0) by 0.
constexpr std::array<unsigned, kWords> make_rho_offsets() noexcept {
    std::array<unsigned, kWords> r{};
    std::size_t x = 1, y = 0;
    for (std::size_t t = 0; t < 24; ++t) {
        r[x + 5 * y] = static_cast<unsigned>(((t + 1) * (t + 2) / 2) % 64);
        const std::size_t nx = y, ny = (2 * x + 3 * y) % 5;
        x = nx;
        y = ny;
    }
    return r;
}

// Algorithm 3: A'[x, y] = A[(x + 3y) mod 5, x], so word (x, y) of A moves to
// position (y, (2x + 3y) mod 5) of A'. Entry i = x + 5y is that position.
constexpr std::array<std::size_t, kWords> make_pi_destinations() noexcept {
    std::array<std::size_t, kWords> d{};
    for (std::size_t y = 0; y < 5; ++y) {
        for (std::size_t x = 0; x < 5; ++x) d[x + 5 * y] = y + 5 * ((2 * x + 3 * y) % 5);
    }
    return d;
}

// The inverse: entry i is the word of A that pi moves to position i.
constexpr std::array<std::size_t, kWords> make_pi_sources() noexcept {
    const std::array<std::size_t, kWords> to = make_pi_destinations();
    std::array<std::size_t, kWords> from{};
    for (std::size_t i = 0; i < kWords; ++i) from[to[i]] = i;
    return from;
}

}  // namespace detail

inline constexpr std::array<std::uint64_t, kRounds> kRoundConstants = detail::make_round_constants();
inline constexpr std::array<unsigned, kWords> kRhoOffsets = detail::make_rho_offsets();
inline constexpr std::array<std::size_t, kWords> kPiDestinations = detail::make_pi_destinations();
inline constexpr std::array<std::size_t, kWords> kPiSources = detail::make_pi_sources();

// Spot checks against the published values.
static_assert(kRoundConstants[0] == 0x0000000000000001 && kRoundConstants[1] == 0x0000000000008082 &&
              kRoundConstants[2] == 0x800000000000808A && kRoundConstants[23] == 0x8000000080008008);
static_assert(kRhoOffsets[0] == 0 && kRhoOffsets[1] == 1 && kRhoOffsets[5] == 36 && kRhoOffsets[24] == 14 &&
              kRhoOffsets[2] == 62 && kRhoOffsets[10] == 3);
static_assert(kPiDestinations[0] == 0 && kPiDestinations[1] == 10 && kPiDestinations[5] == 16 && kPiSources[10] == 1);

}  // namespace velora::primitives::keccak
