// Hooks for the constant-time checker (tests/ct, `make ct`).
//
// The checker runs the engine under valgrind's memcheck with every secret
// marked undefined, so any branch or memory index computed from a secret is
// reported. `mark_secret` marks bytes the engine itself draws as secrets
// (seeds and messages from the random source); `declassify` marks a value
// that the algorithm makes public, such as the seed rho that ends up in the
// encapsulation key. In every other build both compile to nothing.
#pragma once

#include <cstddef>
#include <span>

#if defined(VELORA_CT_VALGRIND)
#include <valgrind/memcheck.h>
#endif

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

}  // namespace velora::ct
