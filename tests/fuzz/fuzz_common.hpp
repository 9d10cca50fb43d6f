// Shared pieces of the libFuzzer targets and of the seed generator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "core/mlkem/keygen.hpp"
#include "core/mlkem/params.hpp"
#include "platform/error.hpp"

namespace velora::fuzz {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;
using mlkem::LevelIndex;

// An invariant of the engine does not hold: report it as a crash.
[[noreturn]] inline void violated(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant violated at %s:%d: %s\n", file, line, what);
    std::abort();
}
#define FUZZ_CHECK(cond) \
    do {                 \
        if (!(cond)) ::velora::fuzz::violated(#cond, __FILE__, __LINE__); \
    } while (0)

// The key pair every target and the seed generator share, one per level,
// from fixed seeds d and z.
inline const mlkem::KeyPairBytes& fixed_keys(LevelIndex level) {
    static const std::array<mlkem::KeyPairBytes, 3> keys = [] {
        std::array<mlkem::KeyPairBytes, 3> k;
        for (LevelIndex l = 0; l < 3; ++l) {
            std::array<std::uint8_t, 32> d{}, z{};
            for (std::size_t i = 0; i < 32; ++i) {
                d[i] = static_cast<std::uint8_t>(0xD0 + i + l);
                z[i] = static_cast<std::uint8_t>(0x20 + 3 * i + l);
            }
            k[l] = mlkem::ml_kem_keygen(d, z, l);
        }
        return k;
    }();
    return keys[level];
}

// Reads a fuzz input front to back; reads past the end give zeros / empty.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        const std::uint8_t b = rest_[0];
        rest_ = rest_.subspan(1);
        return b;
    }
    // Up to n bytes.
    ByteSpan take(std::size_t n) {
        n = n < rest_.size() ? n : rest_.size();
        const ByteSpan out = rest_.first(n);
        rest_ = rest_.subspan(n);
        return out;
    }
    std::uint32_t be32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    ByteSpan rest() const { return rest_; }
    bool empty() const { return rest_.empty(); }

private:
    ByteSpan rest_;
};

// The level selector of a target: one byte, taken modulo 3.
inline LevelIndex level_from(std::uint8_t b) { return static_cast<LevelIndex>(b % 3); }

// The opening of the targets that take a decapsulation key: a level byte and
// a mode byte; with mode bit 0 set, the key is read from the input (dk_size
// bytes, or fewer where the input ends), else it is the fixed key pair's.
struct LevelAndKey {
    LevelIndex level;
    ByteSpan dk;
};
inline LevelAndKey level_and_key(Reader& in) {
    const LevelIndex level = level_from(in.byte());
    const std::uint8_t mode = in.byte();
    if (mode & 1) return {level, in.take(mlkem::dk_size(level))};
    return {level, fixed_keys(level).dk};
}

inline bool is_one_of(const VeloraError& e, std::initializer_list<VeloraError> allowed) {
    for (const VeloraError& a : allowed) {
        if (e == a) return true;
    }
    return false;
}

inline bool all_zero(ByteSpan s) {
    for (std::uint8_t b : s) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace velora::fuzz
