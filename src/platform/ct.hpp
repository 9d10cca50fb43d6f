// Constant-time helpers, for every layer of the engine: the optimisation
// barriers, comparison and selection without a secret-dependent branch, and
// the hooks of the constant-time checker.
//
// Checker hooks (tests/ct, `make ct`). The checker runs the engine under valgrind's memcheck with every secret
// marked undefined, so any branch or memory index computed from a secret is
// reported. `mark_secret` marks bytes the engine itself draws as secrets
// (seeds and messages from the random source); `declassify` marks a value
// that the algorithm makes public, such as the seed rho that ends up in the
// encapsulation key. In every other build both compile to nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(VELORA_CT_VALGRIND)
#include <valgrind/memcheck.h>
#endif

namespace velora {

// Overwrites n bytes with zeros, one volatile byte store at a time.
inline void secure_wipe(void* p, std::size_t n) noexcept {
    volatile std::uint8_t* b = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) b[i] = 0;
}

// The bulk form for working buffers (polynomials, Keccak states, PRF
// output): zeros at memset speed, then a compiler barrier that claims to
// read the memory, so the stores cannot be dropped as dead.
inline void secure_zero(void* p, std::size_t n) noexcept {
    if (n == 0) return;  // an empty buffer may have no storage: memset(nullptr, 0, 0) is undefined
    std::memset(p, 0, n);
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    secure_wipe(p, n);
#endif
}

}  // namespace velora

namespace velora::ct {

inline void mark_secret([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t n) noexcept {
#if defined(VELORA_CT_VALGRIND)
    (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#endif
}

inline void declassify([[maybe_unused]] const void* p, [[maybe_unused]] std::size_t n) noexcept {
#if defined(VELORA_CT_VALGRIND)
    (void)VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
}

template <class T, std::size_t N>
void mark_secret(std::span<T, N> s) noexcept {
    mark_secret(s.data(), s.size_bytes());
}

template <class T, std::size_t N>
void declassify(std::span<T, N> s) noexcept {
    declassify(s.data(), s.size_bytes());
}

// An optimisation barrier: the value goes to memory and comes back through a
// volatile access in a function that is never inlined, so the compiler can
// neither see through what produced it nor branch on it.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noinline, gnu::noipa]]
#else
[[gnu::noinline]]
#endif
inline std::uint8_t value_barrier(std::uint8_t v) noexcept {
    volatile std::uint8_t slot = v;
    return slot;
}

// Hides v from the optimiser: afterwards it may hold any value, so nothing
// computed from it can be folded, predicted or cut short.
inline void opaque(std::uint64_t& v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : "+r"(v));
#else
    volatile std::uint64_t slot = v;
    v = slot;
#endif
}

// 1 when a and b are equal, else 0 (0 for unequal lengths, which are public).
// Every byte is read once, with no early exit and no branch on the data: the
// XOR differences of 8-byte words are ORed into one accumulator that passes
// through opaque() after each word (so the loop cannot become an early-exit
// comparison), and the final flag passes through value_barrier().
inline std::uint8_t equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return 0;
    std::uint64_t diff = 0;
    std::size_t i = 0;
    for (; i + 8 <= a.size(); i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        diff |= x ^ y;
        opaque(diff);
    }
    for (; i < a.size(); ++i) {
        diff |= static_cast<std::uint64_t>(a[i] ^ b[i]);
        opaque(diff);
    }
    // diff | -diff has its top bit set exactly when diff is not zero.
    const std::uint64_t nonzero = (diff | (0 - diff)) >> 63;
    return value_barrier(static_cast<std::uint8_t>(1 ^ nonzero));
}

// 0xFF for flag 1, 0x00 for flag 0.
inline std::uint8_t mask_from_flag(std::uint8_t flag) noexcept { return static_cast<std::uint8_t>(-flag); }

// out[i] = a[i] where mask is 0xFF, b[i] where it is 0x00, for every byte.
inline void select(std::uint8_t mask, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                   std::span<std::uint8_t> out) noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>((mask & a[i]) | (static_cast<std::uint8_t>(~mask) & b[i]));
    }
}

}  // namespace velora::ct
