// The 24 rounds of Keccak-f[1600] (FIPS 202 Algorithm 7, Rnd = iota o chi o
// pi o rho o theta) written once over an operations policy, so that the same
// code permutes one state in general-purpose registers or 4 / 8 states in
// vector registers (one state per vector lane).
//
// Include only from the kernel files. Each of them instantiates the template
// with a policy type of its own in an unnamed namespace, so every
// instantiation has internal linkage and is compiled with exactly that
// file's instruction set (the vector kernels are built with per-file target
// flags; nothing here may produce code shared with other files).
//
// A policy Ops provides: the vector type V and kStates, the states one V
// holds (one per 64-bit lane); load(p) and store(p, v) of kStates words at p;
// xor2(a, b); xor5(a, b, c, d, e); rol<n>(a) (rotate each 64-bit lane left
// by n, 0 < n < 64); chi(a, b, c) = a ^ (~b & c); and xor_constant(a, rc) (rc
// in every lane). WordOps below is the policy for one state in
// general-purpose registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "primitives/keccak_constants.hpp"

namespace velora::primitives::keccak::rounds {

template <class F, std::size_t... I>
[[gnu::always_inline]] inline void unroll_over(F& f, std::index_sequence<I...>) {
    (f(std::integral_constant<std::size_t, I>{}), ...);
}

// Calls f(std::integral_constant<size_t, I>) for I = 0 .. N - 1, unrolled.
template <std::size_t N, class F>
[[gnu::always_inline]] inline void unroll(F&& f) {
    unroll_over(f, std::make_index_sequence<N>{});
}

// The round constants as a plain array (read at run time in the loop below;
// a plain array keeps the kernel files free of shared out-of-line helpers).
template <class Seq>
struct RoundConstants;
template <std::size_t... I>
struct RoundConstants<std::index_sequence<I...>> {
    static constexpr std::uint64_t value[sizeof...(I)] = {kRoundConstants[I]...};
};
using Rc = RoundConstants<std::make_index_sequence<kRounds>>;

template <class Ops>
struct Permutation {
    using V = typename Ops::V;

    template <std::size_t N>
    [[gnu::always_inline]] static V rotate(V v) {
        if constexpr (N == 0) {
            return v;
        } else {
            return Ops::template rol<N>(v);
        }
    }

    // One round from a into e (they must not overlap).
    [[gnu::always_inline]] static void round(const V* a, V* e, std::uint64_t rc) {
        // theta: C[x] = xor of column x; D[x] = C[x - 1] ^ rot(C[x + 1], 1).
        V c[5], d[5];
        unroll<5>([&](auto xc) {
            constexpr std::size_t x = decltype(xc)::value;
            c[x] = Ops::xor5(a[x], a[x + 5], a[x + 10], a[x + 15], a[x + 20]);
        });
        unroll<5>([&](auto xc) {
            constexpr std::size_t x = decltype(xc)::value;
            d[x] = Ops::xor2(c[(x + 4) % 5], rotate<1>(c[(x + 1) % 5]));
        });
        // rho, pi and chi, one output row at a time (five B values live at
        // once): B[y, 2x + 3y] = rot(A[x, y] ^ D[x], r[x, y]), then
        // E[x, y] = B[x, y] ^ (~B[x + 1, y] & B[x + 2, y]).
        unroll<5>([&](auto yc) {
            constexpr std::size_t y = decltype(yc)::value;
            V b[5];
            unroll<5>([&](auto xc) {
                constexpr std::size_t x = decltype(xc)::value, from = kPiSources[x + 5 * y];
                b[x] = rotate<kRhoOffsets[from]>(Ops::xor2(a[from], d[from % 5]));
            });
            unroll<5>([&](auto xc) {
                constexpr std::size_t x = decltype(xc)::value;
                e[x + 5 * y] = Ops::chi(b[x], b[(x + 1) % 5], b[(x + 2) % 5]);
            });
        });
        e[0] = Ops::xor_constant(e[0], rc);
    }

    // All 24 rounds on s, two per step (s -> t -> s). flatten: everything
    // above is inlined into this one function.
    [[gnu::flatten]] static void permute(V* s) {
        V t[kWords];
        for (std::size_t r = 0; r < kRounds; r += 2) {
            round(s, t, Rc::value[r]);
            round(t, s, Rc::value[r + 1]);
        }
    }
};

// Permutes Ops::kStates states stored side by side (word w of state j at
// index kStates * w + j).
template <class Ops>
[[gnu::always_inline]] inline void permute_states(std::uint64_t* states) {
    typename Ops::V s[kWords];
    for (std::size_t w = 0; w < kWords; ++w) s[w] = Ops::load(states + Ops::kStates * w);
    Permutation<Ops>::permute(s);
    for (std::size_t w = 0; w < kWords; ++w) Ops::store(states + Ops::kStates * w, s[w]);
}

// One state, one 64-bit word per variable. Tag is a type of the including
// file's unnamed namespace, so that each file's instantiation stays its own
// (one file builds it for any x86-64, another with BMI1/BMI2 instructions).
template <class Tag>
struct WordOps {
    using V = std::uint64_t;
    static constexpr std::size_t kStates = 1;
    static V load(const std::uint64_t* p) { return *p; }
    static void store(std::uint64_t* p, V v) { *p = v; }
    static V xor2(V a, V b) { return a ^ b; }
    static V xor5(V a, V b, V c, V d, V e) { return a ^ b ^ c ^ d ^ e; }
    template <unsigned N>
    static V rol(V a) {
        return (a << N) | (a >> (64 - N));
    }
    static V chi(V a, V b, V c) { return a ^ (~b & c); }
    static V xor_constant(V a, std::uint64_t rc) { return a ^ rc; }
};

}  // namespace velora::primitives::keccak::rounds
